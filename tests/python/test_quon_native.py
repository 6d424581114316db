"""The monthly models' road, decided in Process: an xgboost model's booster,
loaded into the booster library the module links, gives what the model's
own predict gives for the one-row table the forecast describes (to 1e-6,
with its type); every other model (a scikit-learn forest or linear model, a
wrapper, a model put in after Process) is called through its own predict."""

import os
import pickle
import shutil
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
import xgboost

import quon
from conftest import PLAY_SUBDIR

FEATURES = list(quon.xNumColList)


def package_output(d, model, row):
    """model.predict on the one-row table, as the forecast describes it."""
    data = pd.DataFrame(np.array([row]), columns=model.get_booster().feature_names)
    return model.predict(data)[0]


def feature_row(d, design):
    lat, lon, stages, length, spacing, fluid = design
    isip = d.m_geoModelDict[quon.strISIP].predict([[lat, lon]])[0]
    return [lat, lon, stages, isip, length, spacing, fluid]


class PredictCalls:
    """Records the models whose package predict runs (sys.setprofile sees
    every Python-level call on this thread, without changing any code)."""

    def __init__(self):
        self.models = []

    def __enter__(self):
        def profile(frame, event, arg):
            code = frame.f_code
            if event == "call" and code.co_name == "predict" and code.co_filename.endswith(
                    os.path.join("xgboost", "sklearn.py")):
                self.models.append(frame.f_locals.get("self"))
        sys.setprofile(profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


@pytest.fixture
def fixed_fits(monkeypatch):
    """The decline fits replaced by a fixed answer, where only the monthly
    outputs are under test (the fits take most of a forecast's time)."""
    monkeypatch.setattr(quon, "curve_fit", lambda *a, **kw: (np.array([1000.0, 0.1, 1.3]), None))


def designs(n, seed):
    """Wells over and beyond the play's ranges, as ints, floats and numpy
    scalars, with huge values among them."""
    rng = np.random.default_rng(seed)
    out = []
    for k in range(n):
        lat = float(rng.uniform(40.5, 42.5))
        lon = float(rng.uniform(-78.5, -74.5))
        stages = int(rng.integers(1, 60))
        length = float(rng.uniform(50.0, 12000.0))
        fill = length / stages
        spacing = [int(max(1, fill)), np.float64(fill * rng.uniform(0.01, 1.0)), fill * 0.999, 1e-3][k % 4]
        fluid = [float(rng.uniform(1.0, 4000.0)), np.int64(rng.integers(1, 4000)), 1e12][k % 3]
        out.append((lat, lon, stages, length, spacing, fluid))
    return out


@pytest.mark.filterwarnings("ignore::quon.ExtrapolationWarning")
def test_outputs_equal_the_packages_predict_over_300_designs(play_root, fixed_fits):
    d = quon.CMainDravex()
    d.Process()
    models = [d.m_modelDict[m] for m in quon.nOutputMonthList]
    for design in designs(300, 7):
        with PredictCalls() as calls:
            d.Predict(*design, 0)
        assert calls.models == []  # every month through the library
        row = feature_row(d, design)
        got = d.m_modelOutputList[1:]
        want = [package_output(d, model, row) for model in models]
        assert [type(v) for v in got] == [np.float32] * 28
        np.testing.assert_allclose(got, want, rtol=1e-6, err_msg=str(design))


# ------------------------------------------- models with their own settings

def regressor(**settings):
    settings = dict(dict(n_estimators=12, max_depth=3, tree_method="exact", random_state=5), **settings)
    return xgboost.XGBRegressor(**settings)


# month -> (how the model is made, whether the library road is taken: every
# xgboost tree model; the linear booster may or may not predict in place,
# depending on the library's version: None)
def special_models(tool):
    rng = np.random.default_rng(11)
    table, cumulative = tool.synthetic_wells(300, rng)
    y = cumulative[30]
    with_gaps = table.copy()
    with_gaps.iloc[::7, 5] = -1.0  # stage lengths the model reads as missing
    with_zeros = table.copy()
    with_zeros.iloc[::5, 2] = 0
    renamed = table.set_axis([f"x{i}" for i in range(7)], axis=1)
    early = regressor(n_estimators=200, early_stopping_rounds=3, learning_rate=0.5)
    early.fit(table[:250], y[:250], eval_set=[(table[250:], y[250:])], verbose=False)
    assert early.best_iteration + 1 < 200
    return {
        6: (regressor(base_score=1234.5).fit(table, y), True),
        8: (regressor(missing=-1.0).fit(with_gaps, y), True),
        10: (regressor(n_jobs=2).fit(table, y), True),
        12: (regressor().fit(renamed, y), True),  # feature names unlike the vocabulary's
        14: (regressor(missing=0).fit(with_zeros, y), True),
        16: (early, True),  # trees up to the best iteration only
        # (xgboost 3 writes `missing` as JSON and takes only a Python number)
        18: (regressor(missing=np.float32(-1.0) if xgboost.__version__ < "2" else -1.0).fit(with_gaps, y), True),
        20: (regressor(**({"predictor": "cpu_predictor"} if xgboost.__version__ < "2" else {"device": "cpu"}))
             .fit(table, y), True),
        22: (xgboost.XGBRegressor(booster="gblinear", n_estimators=5).fit(table, y), None),
        24: (xgboost.XGBRFRegressor(n_estimators=6, max_depth=3).fit(table, y), True),
        26: (regressor().fit(table.to_numpy(), y), True),  # no feature names
        28: (regressor(random_state=np.random.RandomState(3)).fit(table, y), True),
    }


# The special play's models are trained month by month on their own: their
# raw cumulatives may fall, and their designs lie beyond the play.
special_warnings = [pytest.mark.filterwarnings("ignore::quon.FallingOutputWarning"),
                    pytest.mark.filterwarnings("ignore::quon.ExtrapolationWarning")]


@pytest.fixture(scope="module")
def special_play(small_play, tmp_path_factory, demo_play_tool):
    """The small play with twelve months' models trained with other settings."""
    root = tmp_path_factory.mktemp("special")
    shutil.copytree(small_play / "DataFiles", root / "DataFiles")
    os.remove(root / PLAY_SUBDIR / quon.manifestFile)  # its models are replaced
    models = special_models(demo_play_tool)
    for month, (model, _) in models.items():
        with open(root / PLAY_SUBDIR / "Model" / str(month) / "model.pickle", "wb") as f:
            pickle.dump(model, f)
    return root, {m: native for m, (_, native) in models.items()}


@pytest.fixture
def special_driver(special_play):
    root, native = special_play
    quon.__file__ = str(root / os.path.basename(quon.__file__))
    d = quon.CMainDravex()
    d.Process()
    return d, native


def own_predict_months(calls, d):
    month_of = {id(d.m_modelDict[m]): m for m in quon.nOutputMonthList}
    return sorted(month_of[id(m)] for m in calls.models)


@special_warnings[0]
@special_warnings[1]
def test_models_with_their_own_settings(special_driver, fixed_fits):
    d, native = special_driver
    fallback = sorted(m for m, lib in native.items() if lib is False)
    early = d.m_modelDict[16]
    differs_from_all_trees = 0
    # The models' missing markers (-1 and 0) as a location: a well may not have them as its design.
    for design in designs(150, 3) + [(0.0, -1.0, 20, 5000, 250, 1500)]:
        with PredictCalls() as calls:
            d.Predict(*design, 0)
        assert set(fallback) <= set(own_predict_months(calls, d)) <= set(fallback) | {22}
        row = feature_row(d, design)
        for m, got in zip(quon.nOutputMonthList, d.m_modelOutputList[1:]):
            want = package_output(d, d.m_modelDict[m], row)
            assert type(got) is type(want), m
            np.testing.assert_allclose(got, want, rtol=1e-6, err_msg=str((m, design)))
        all_trees = early.get_booster().inplace_predict(np.array([row]), iteration_range=(0, 0))[0]
        differs_from_all_trees += all_trees != d.m_modelOutputList[1 + quon.nOutputMonthList.index(16)]
    assert differs_from_all_trees > 0


@special_warnings[0]
@special_warnings[1]
def test_models_put_in_or_wrapped_after_process_run_their_own_predict(special_driver, fixed_fits, monkeypatch):
    d, _ = special_driver
    model = d.m_modelDict[6]
    seen = []
    own = model.predict
    model.predict = lambda data: seen.append(data) or own(data)  # on the instance
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert len(seen) == 1 and list(seen[0].columns) == FEATURES
    assert own_predict_months(calls, d) in ([6], [6, 22])
    del model.predict
    # Another object under a month (a copy of the model): its own predict,
    # until Process checks the models again.
    d.m_modelDict[8] = pickle.loads(pickle.dumps(d.m_modelDict[8]))
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert own_predict_months(calls, d) in ([8], [8, 22])
    # The class's predict replaced: every xgboost model's own predict.
    monkeypatch.setattr(xgboost.XGBRegressor, "predict",
                        lambda self, *a, **kw: xgboost.XGBModel.predict(self, *a, **kw))
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert len(calls.models) >= 27  # month 24's random forest is another class
    monkeypatch.undo()
    d.Process()
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert own_predict_months(calls, d) in ([], [22])


@special_warnings[0]       # its designs range beyond the play, and linear models need not rise
@special_warnings[1]
def test_scikit_learn_models_run_their_own_predict(small_play, tmp_path, demo_play_tool, fixed_fits):
    """Random forests and linear models of scikit-learn, fitted on a table
    (with feature names) or on an array (without): each month's model is
    called through its own predict, with no warning, and PredictBatch gives
    the same outputs as Predict."""
    from sklearn.ensemble import RandomForestRegressor
    from sklearn.linear_model import LinearRegression
    shutil.copytree(small_play / "DataFiles", tmp_path / "DataFiles")
    os.remove(tmp_path / PLAY_SUBDIR / quon.manifestFile)  # its models are replaced
    rng = np.random.default_rng(5)
    table, cumulative = demo_play_tool.synthetic_wells(200, rng)
    for k, m in enumerate(quon.nOutputMonthList):
        forest = k % 2 == 0
        model = RandomForestRegressor(n_estimators=5, max_depth=4, random_state=k) if forest else LinearRegression()
        model.fit(table if k % 4 < 2 else table.to_numpy(), cumulative[m])
        with open(tmp_path / PLAY_SUBDIR / "Model" / str(m) / "model.pickle", "wb") as f:
            pickle.dump(model, f)
    quon.__file__ = str(tmp_path / os.path.basename(quon.__file__))
    d = quon.CMainDravex()
    d.Process()
    batch = designs(10, 4)
    with warnings.catch_warnings():
        warnings.simplefilter("error")     # no feature-name warning of scikit-learn
        warnings.simplefilter("ignore", quon.ExtrapolationWarning)
        warnings.simplefilter("ignore", quon.FallingOutputWarning)
        for design in batch:
            d.Predict(*design, 0)
            row = np.array([feature_row(d, design)])
            for m, got in zip(quon.nOutputMonthList, d.m_modelOutputList[1:]):
                model = d.m_modelDict[m]
                data = pd.DataFrame(row, columns=model.feature_names_in_) if hasattr(model, "feature_names_in_") else row
                assert got == model.predict(data)[0], m
    frame = pd.DataFrame(batch, columns=[quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages,
                                         quon.strWellLen, quon.strFracSpacing, quon.strFluidVolumePerLen])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # fits of designs far outside the play may fail
        _, batch_cums = d.PredictBatch(frame)
    outputs = batch_cums["Model Output"].to_numpy().reshape(len(batch), -1)
    for k, design in enumerate(batch):
        d.Predict(*design, 0)
        assert outputs[k].tolist() == [float(v) for v in d.m_modelOutputList]


def test_models_of_other_kinds_are_called_as_before(play_root, fixed_fits):
    """A model that is not the package's regressor is called through its own
    predict with the one-row table."""
    d = quon.CMainDravex()
    d.Process()
    seen = []

    class Wrapped:
        def __init__(self, model):
            self.model = model

        def get_booster(self):
            return self.model.get_booster()

        def predict(self, data):
            seen.append(data)
            return self.model.predict(data)
    d.m_modelDict = {m: Wrapped(model) for m, model in d.m_modelDict.items()}
    d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert len(seen) == 28 and seen[0] is seen[-1]  # one table, shared
    assert list(seen[0].columns) == FEATURES and seen[0].dtypes.unique().tolist() == [np.float64]


@special_warnings[0]
@special_warnings[1]
def test_batch_outputs_equal_predicts_for_models_of_every_kind(special_driver):
    """PredictBatch runs each month's model once on all designs: through the
    library where Predict does, through the model's own predict (one call,
    one table) otherwise; the outputs are Predict's, bit for bit."""
    d, native = special_driver
    batch = designs(60, 9)
    table = pd.DataFrame(batch, columns=[quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages,
                                         quon.strWellLen, quon.strFracSpacing, quon.strFluidVolumePerLen])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # fits of designs far outside the play may fail
        with PredictCalls() as calls:
            _, cums = d.PredictBatch(table)
        fallback = {m for m, lib in native.items() if lib is False}
        assert fallback <= set(own_predict_months(calls, d)) <= fallback | {22}
        outputs = cums["Model Output"].to_numpy().reshape(len(batch), -1)
        for k, design in enumerate(batch):
            d.Predict(*design, 0)
            want = np.array(d.m_modelOutputList, dtype=np.float64)
            assert outputs[k].tobytes() == want.tobytes(), design

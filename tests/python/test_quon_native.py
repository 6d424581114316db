"""The monthly models run through the booster library: every output equals
what the model's own predict gives for the one-row table the forecast
describes, bit for bit and with its type, and the package's predict is
called exactly for the models whose settings it would treat otherwise."""

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
        assert np.array(got).tobytes() == np.array(want).tobytes(), design


# ------------------------------------------- models with their own settings

def regressor(**settings):
    settings = dict(dict(n_estimators=12, max_depth=3, tree_method="exact", random_state=5), **settings)
    return xgboost.XGBRegressor(**settings)


# month -> (how the model is made, whether the library road is taken)
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
        18: (regressor(missing=np.float32(-1.0)).fit(with_gaps, y), False),
        20: (regressor(predictor="cpu_predictor").fit(table, y), False),
        22: (xgboost.XGBRegressor(booster="gblinear", n_estimators=5).fit(table, y), False),
        24: (xgboost.XGBRFRegressor(n_estimators=6, max_depth=3).fit(table, y), False),
        26: (regressor().fit(table.to_numpy(), y), False),  # no feature names
        28: (regressor(random_state=np.random.RandomState(3)).fit(table, y), False),
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


@special_warnings[0]
@special_warnings[1]
def test_models_with_their_own_settings(special_driver, fixed_fits):
    d, native = special_driver
    month_of = {id(d.m_modelDict[m]): m for m in quon.nOutputMonthList}
    fallback = sorted(m for m, lib in native.items() if not lib)
    early = d.m_modelDict[16]
    differs_from_all_trees = 0
    # The models' missing markers (-1 and 0) as a location: a well may not have them as its design.
    for design in designs(150, 3) + [(0.0, -1.0, 20, 5000, 250, 1500)]:
        with PredictCalls() as calls:
            d.Predict(*design, 0)
        assert sorted(month_of[id(m)] for m in calls.models) == fallback
        row = feature_row(d, design)
        for m, got in zip(quon.nOutputMonthList, d.m_modelOutputList[1:]):
            want = package_output(d, d.m_modelDict[m], row)
            assert type(got) is type(want) and np.float32(got).tobytes() == np.float32(want).tobytes(), (m, design)
        all_trees = early.get_booster().inplace_predict(np.array([row]), iteration_range=(0, 0))[0]
        differs_from_all_trees += all_trees != d.m_modelOutputList[1 + quon.nOutputMonthList.index(16)]
    assert differs_from_all_trees > 0


@special_warnings[0]
@special_warnings[1]
def test_replaced_methods_are_called(special_driver, fixed_fits, monkeypatch):
    d, _ = special_driver
    model = d.m_modelDict[6]
    seen = []
    own = model.predict
    model.predict = lambda data: seen.append(data) or own(data)  # on the instance
    monkeypatch.setattr(xgboost.XGBRegressor, "_get_iteration_range",
                        lambda self, r: xgboost.XGBModel._get_iteration_range(self, r))
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert len(seen) == 1 and list(seen[0].columns) == FEATURES
    assert len(calls.models) == 28  # the class's method is another one now


def test_the_library_must_be_the_packages(play_root, fixed_fits, monkeypatch, tmp_path):
    d = quon.CMainDravex()
    d.Process()
    d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    native = list(d.m_modelOutputList)
    lib = xgboost.core._LIB
    loaded = os.path.realpath(lib._name)
    # Another file (a package with a library of its own): the package's predict.
    monkeypatch.setattr(lib, "_name", str(tmp_path / "libxgboost.so"))
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert len(calls.models) == 28 and d.m_modelOutputList == native
    # The same file under another name (a symbolic link): the library again.
    os.symlink(loaded, tmp_path / "link.so")
    monkeypatch.setattr(lib, "_name", str(tmp_path / "link.so"))
    with PredictCalls() as calls:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    assert calls.models == [] and d.m_modelOutputList == native


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
    library where Predict would, through the model's own predict (one call,
    one table) otherwise; the outputs are Predict's, bit for bit."""
    d, native = special_driver
    month_of = {id(d.m_modelDict[m]): m for m in quon.nOutputMonthList}
    batch = designs(60, 9)
    table = pd.DataFrame(batch, columns=[quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages,
                                         quon.strWellLen, quon.strFracSpacing, quon.strFluidVolumePerLen])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # fits of designs far outside the play may fail
        with PredictCalls() as calls:
            _, cums = d.PredictBatch(table)
        assert sorted(month_of[id(m)] for m in calls.models) == sorted(m for m, lib in native.items() if not lib)
        outputs = cums["Model Output"].to_numpy().reshape(len(batch), -1)
        for k, design in enumerate(batch):
            d.Predict(*design, 0)
            want = np.array(d.m_modelOutputList, dtype=np.float64)
            assert outputs[k].tobytes() == want.tobytes(), design

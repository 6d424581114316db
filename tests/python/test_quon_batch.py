"""PredictBatch: many designs in one call give Predict's tables, stacked
design after design; its checks, its empty answer and its failed fits."""

import warnings

import numpy as np
import pandas as pd
import pytest

import quon

DESIGN_COLUMNS = [quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages, quon.strWellLen,
                  quon.strFracSpacing, quon.strFluidVolumePerLen]
RATE_COLUMNS = ["Design", "Month", "P90", "q", "P10"]
CUMULATIVE_COLUMNS = ["Design", "Month", "P90", "Q", "P10", "Model Output", "Outside Envelope",
                      "Model Output Falls"]
POINTS = 1 + len(quon.nOutputMonthList)


def design_table(n, seed, index=None):
    """n consistent designs inside the map window and the slider ranges."""
    rng = np.random.default_rng(seed)
    length = rng.uniform(1000.0, 8000.0, n)
    stages = np.clip(np.round(length / rng.uniform(100.0, 1000.0, n)), 4, 40)
    spacing = length / stages
    return pd.DataFrame({
        quon.strLatitudeMid: rng.uniform(41.38, 41.99, n),
        quon.strLongitudeMid: rng.uniform(-77.59, -75.56, n),
        quon.strFracStages: stages,
        quon.strWellLen: length,
        quon.strFracSpacing: spacing,
        quon.strFluidVolumePerLen: rng.uniform(100.0, 3000.0, n),
    }, index=index)


def predict_each(d, designs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the fitter's covariance notice
        return [d.Predict(*row, 0) for row in designs[DESIGN_COLUMNS].itertuples(index=False)]


@pytest.fixture
def driver(play_root):
    d = quon.CMainDravex()
    d.Process()
    return d


def test_several_hundred_designs_equal_predicts_tables(driver):
    designs = design_table(300, 11)
    rates, cums = driver.PredictBatch(designs)
    singles = predict_each(driver, designs)
    assert list(rates) == RATE_COLUMNS and list(cums) == CUMULATIVE_COLUMNS
    assert len(rates) == len(cums) == 300 * POINTS
    assert list(rates.index) == list(range(300 * POINTS))
    assert rates["Design"].tolist() == np.repeat(np.arange(300), POINTS).tolist()
    assert rates.dtypes.tolist()[1:] == [np.int64] + [np.float64] * 3
    assert cums.dtypes.tolist()[1:] == [np.int64] + [np.float64] * 4 + [object, bool]
    for k, (one_rates, one_cums) in enumerate(singles):
        rows = slice(k * POINTS, (k + 1) * POINTS)
        # Months, outputs, bands, fits and fitted curves: Predict's, bit for bit.
        for got, want in ((rates, one_rates), (cums, one_cums)):
            got = got.iloc[rows].drop(columns=["Design", "Outside Envelope", "Model Output Falls"],
                                      errors="ignore").reset_index(drop=True)
            pd.testing.assert_frame_equal(got, want, check_exact=True)
            assert got.to_numpy().tobytes() == want.to_numpy().tobytes(), k


def test_index_labels_of_any_kind(driver):
    designs = design_table(4, 3)
    plain_rates, plain_cums = driver.PredictBatch(designs)
    labelled = {
        "text": pd.Index(["north", "south", "east", "north"]),  # a label twice is two designs
        "tuples": pd.MultiIndex.from_tuples([("pad A", 1), ("pad A", 2), ("pad B", 1), ("pad B", 2)]),
        "dates": pd.DatetimeIndex(["2026-01-01", "2026-02-01", "2026-03-01", "2026-04-01"]),
    }
    for kind, index in labelled.items():
        rates, cums = driver.PredictBatch(designs.set_axis(index, axis=0))
        want = [label for label in index.to_flat_index() for _ in range(POINTS)]
        assert rates["Design"].tolist() == cums["Design"].tolist() == want, kind
        pd.testing.assert_frame_equal(rates.drop(columns="Design"), plain_rates.drop(columns="Design"))
        pd.testing.assert_frame_equal(cums.drop(columns="Design"), plain_cums.drop(columns="Design"))
    assert rates["Design"].dtype == "datetime64[ns]"


def test_columns_found_by_name_others_ignored(driver):
    designs = design_table(3, 5)
    rates, cums = driver.PredictBatch(designs)
    shuffled = designs[DESIGN_COLUMNS[::-1]].assign(operator="X", comment=[None, "a", 3])
    # Integer and object columns of plain numbers are numbers too.
    shuffled[quon.strFracStages] = shuffled[quon.strFracStages].astype(np.int64)
    shuffled[quon.strWellLen] = shuffled[quon.strWellLen].astype(object)
    again = driver.PredictBatch(shuffled)
    pd.testing.assert_frame_equal(again[0], rates)
    pd.testing.assert_frame_equal(again[1], cums)


def test_an_empty_table_gives_empty_tables(driver):
    rates, cums = driver.PredictBatch(design_table(0, 1))
    assert list(rates) == RATE_COLUMNS and list(cums) == CUMULATIVE_COLUMNS
    assert len(rates) == len(cums) == 0
    assert rates.dtypes.tolist()[1:] == [np.int64] + [np.float64] * 3
    assert cums.dtypes.tolist()[1:] == [np.int64] + [np.float64] * 4 + [object, bool]


@pytest.mark.parametrize("column, value, shown", [
    (quon.strFracStages, np.nan, "nan"),
    (quon.strLatitudeMid, np.inf, "inf"),
    (quon.strWellLen, None, "None"),
    (quon.strFracSpacing, "250", "'250'"),
    (quon.strFluidVolumePerLen, True, "True"),
])
def test_values_that_are_not_finite_numbers(driver, column, value, shown):
    designs = design_table(4, 2, index=["w1", "w2", "w3", "w4"])
    if not isinstance(value, float):
        designs[column] = designs[column].astype(object)
    designs.loc["w3", column] = value
    driver.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    before = list(driver.m_modelOutputList)
    with pytest.raises(ValueError, match=f"\"{column}\" of the design at row label 'w3' must be a finite "
                                         f"number, got {shown}"):
        driver.PredictBatch(designs)
    assert driver.m_modelOutputList == before


def test_a_column_of_booleans_is_not_a_number(driver):
    designs = design_table(2, 2)
    designs[quon.strFracStages] = [True, False]
    with pytest.raises(ValueError, match="at row label 0 must be a finite number, got True"):
        driver.PredictBatch(designs)


def test_tables_it_cannot_read(driver):
    with pytest.raises(TypeError, match="designs must be a pandas DataFrame, got dict"):
        driver.PredictBatch({c: [1.0] for c in DESIGN_COLUMNS})
    with pytest.raises(KeyError, match=f"designs has no column \"{quon.strFracSpacing}\""):
        driver.PredictBatch(design_table(2, 1).drop(columns=quon.strFracSpacing))
    twice = pd.concat([design_table(2, 1), design_table(2, 1)[[quon.strWellLen]]], axis=1)
    with pytest.raises(ValueError, match="more than one column"):
        driver.PredictBatch(twice)


def test_refused_as_predict_refuses_before_process(tmp_path):
    quon.__file__ = str(tmp_path / "quon.so")
    d = quon.CMainDravex()
    d.Process()
    with pytest.raises(KeyError) as single:
        d.Predict(41.7, -76.6, 20, 5000, 250, 1500, 0)
    for designs in (design_table(2, 1), design_table(0, 1)):
        with pytest.raises(KeyError) as batch:
            d.PredictBatch(designs)
        assert str(batch.value).replace("PredictBatch", "Predict") == str(single.value)


class NaNForSomeDesigns:
    """A month's model that answers NaN for the designs of 13 stages."""

    def __init__(self, model):
        self.model = model

    def get_booster(self):
        return self.model.get_booster()

    def predict(self, data):
        out = self.model.predict(data).astype(np.float64)
        out[np.asarray(data[quon.strFracStages]) == 13] = np.nan
        return out


def test_a_failed_fit_leaves_nan_and_warns_once(driver):
    designs = design_table(10, 4)
    designs.loc[[2, 7], quon.strFracStages] = 13
    designs.loc[[2, 7], quon.strFracSpacing] = designs.loc[[2, 7], quon.strWellLen] / 13
    rates, cums = driver.PredictBatch(designs)
    driver.m_modelDict[30] = NaNForSomeDesigns(driver.m_modelDict[30])
    with pytest.warns(RuntimeWarning) as record:
        got_rates, got_cums = driver.PredictBatch(designs)
    assert [str(w.message) for w in record] == [
        "CMainDravex.PredictBatch: 6 of 30 decline fits (in 2 of 10 designs) did not converge or had "
        "non-finite data; their fitted columns are NaN"]
    failed = got_rates["Design"].isin([2, 7])
    for got, want, columns in ((got_rates, rates, ["P90", "q", "P10"]), (got_cums, cums, ["P90", "Q", "P10"])):
        assert got.loc[failed, columns].isna().all().all()
        pd.testing.assert_frame_equal(got[~failed], want[~failed])
    assert got_cums.loc[failed & (got_cums["Month"] == 30), "Model Output"].isna().all()


def test_bands_as_predict_applies_them(driver, monkeypatch):
    designs = design_table(6, 8)
    rates, cums = driver.PredictBatch(designs)
    # No band: P10 and P90 are the model's series, and so are their fits.
    for m in quon.nOutputMonthList:
        driver.m_modelProbBinned[m] = {0: {"P10": 0.0, "P90": -0.0}}
    flat_rates, flat_cums = driver.PredictBatch(designs)
    for table, model in ((flat_rates, "q"), (flat_cums, "Q")):
        assert table["P10"].tolist() == table["P90"].tolist() == table[model].tolist()
    assert flat_cums["Q"].tolist() == cums["Q"].tolist()

    # Two bins; the second has no band, and only outputs at or above the
    # month's first bound fall in it.
    monkeypatch.setattr(quon, "numBins", 2)
    month = 40
    outputs = cums.loc[cums["Month"] == month, "Model Output"].to_numpy()
    for m in quon.nOutputMonthList:
        driver.m_boundList[m] = [1e12, 2e12]
        driver.m_modelProbBinned[m] = {0: {"P10": 0.1, "P90": -0.1}, 1: {"P10": None, "P90": None}}
    assert len(driver.PredictBatch(designs)[0]) == 6 * POINTS
    driver.m_boundList[month] = [float(np.sort(outputs)[3]), 2e12]
    first = int(np.argmax(outputs >= driver.m_boundList[month][0]))
    with pytest.raises(TypeError, match=f"month {month} has no P10 band in bin 1, where the design at row "
                                        f"label {first} falls"):
        driver.PredictBatch(designs)
    with pytest.raises(TypeError, match=f"month {month} has no P10 band in bin 1"):
        driver.Predict(*designs[DESIGN_COLUMNS].iloc[first], 0)

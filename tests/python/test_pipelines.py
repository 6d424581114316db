"""The two pipelines end to end: identical to the step functions driven one
by one in the pipelines' order, the layout of their tables, row-order independence of the
first method, the reshaping functions, and failures."""
import math

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import zelt
from reference_pipeline import (FIELD_KEYS, LABELS, LABELS_2019, METHODS, METHODS_2019, PARAMS,
                                PARAMS_2019, REQUIRED, REQUIRED_2019, SCORE_COLS, WINDOW_COLS,
                                edit_csv, halvane_reference, nan_row, random_reservoirs,
                                read_table, read_table_2019, uom_reference)

SORTED_METHODS = sorted(METHODS)
SORTED_METHODS_2019 = sorted(METHODS_2019)


def assert_tables_equal(got, expected):
    assert isinstance(got, tuple) and len(got) == len(expected)
    for k, (g, e) in enumerate(zip(got, expected)):
        try:
            pdt.assert_frame_equal(g, e, check_exact=True)
        except AssertionError as err:
            raise AssertionError(f"table {k}: {err}") from None


def compare_halvane(edin):
    mine, theirs = edin.copy(), edin.copy()
    got = zelt.halvane_zelt(mine)
    assert_tables_equal(got, halvane_reference(zelt, theirs))
    pdt.assert_frame_equal(mine, theirs)   # the caller's table is changed the same way
    return got


def compare_uom(edin):
    mine, theirs = edin.copy(), edin.copy()
    got = zelt.uom_zelt(mine)
    assert_tables_equal(got, uom_reference(zelt, theirs))
    pdt.assert_frame_equal(mine, theirs)
    return got


DATASETS = [
    dict(n=300, seed=11, nan_frac=0.2, id_kind="str"),
    dict(n=257, seed=12, nan_frac=0.4, id_kind="int"),
    dict(n=40, seed=13, nan_frac=1.0, id_kind="str"),
    dict(n=3, seed=14, nan_frac=0.0, id_kind="int", name_nan_frac=0.0),
    dict(n=150, seed=15, nan_frac=0.3, optional=True),
]
DATASET_IDS = ["mixed", "int-ids", "all-nan", "three", "in-situ-and-mmps"]


# ------------------------------------------------------------ the first method

@pytest.mark.parametrize("dataset", DATASETS, ids=DATASET_IDS)
def test_halvane_matches_step_functions(dataset):
    edin = random_reservoirs(**dataset)
    edin.columns = [c.upper() if k % 3 == 0 else c for k, c in enumerate(edin.columns)]
    score, _, field, window = compare_halvane(edin)
    n = dataset["n"]
    assert (len(score), len(field), len(window)) == (15 * n, n, 30 * n)
    assert score["Score"].between(-1.0, 1.0).all()


def test_halvane_with_text_and_integer_columns():
    edin = random_reservoirs(60, seed=5)
    edin["pressure_psi"] = [("nan" if math.isnan(v) else repr(v)) for v in edin["pressure_psi"]]
    edin["top_depth_feet"] = np.arange(60, dtype=np.int64) * 250
    got = compare_halvane(edin)
    assert got[2]["Reservoir Depth"].dtype == np.float64


def _numeric_only(edin):
    """The table with every column numeric: rows then carry floats only."""
    edin = edin.drop(columns=["basin"])
    edin["resv_id"] = np.arange(len(edin), dtype=np.int64) + 500
    edin["reservoir_unit_name"] = np.arange(len(edin)) % 4
    edin["gas_reserve_date_qual"] = 0.0
    return edin


@pytest.mark.parametrize("variant", ["numeric-only", "mixed-names", "datetime-ids"])
def test_pipelines_match_step_functions_on_unusual_tables(variant):
    # Identifiers and names keep the types the rows give them. (Tables with
    # other row labels are in test_hostile_tables.py: the step functions look
    # records up by label, the pipelines pair by position.)
    edin = random_reservoirs(45, seed=21, nan_frac=0.3)
    if variant == "numeric-only":
        edin = _numeric_only(edin)
    elif variant == "mixed-names":
        edin["reservoir_unit_name"] = [k if k % 3 else f"N{k % 5}" for k in range(len(edin))]
    else:
        edin["resv_id"] = pd.date_range("2001-01-01", periods=len(edin), freq="D")
    compare_halvane(edin)
    compare_uom(edin)


def test_halvane_with_an_edited_reference_file(ref_dir):
    path = ref_dir / "screening_table.csv"
    edit_csv(path, {
        ("Reservoir Depth", "SAGD", "Stopper"): "",            # empty: a set knock-out flag
        ("Oil Gravity", "CSS", "Stopper"): "1",
        ("Net Pay Thickness", "Hot Water", "Min"): "",
        ("Current Reservoir Pressure", "Steam Flooding", "Min"): "",
        ("Current Reservoir Pressure", "Hot Water", "Max"): "MMP",
        ("Current Reservoir Pressure", "ASP", "Min"): "MMP",
    })
    df = pd.read_csv(path, dtype=str, keep_default_na=False)
    df["Source"] = "ignored"
    df.sample(frac=1.0, random_state=3).to_csv(path, index=False)
    compare_halvane(random_reservoirs(120, seed=21))


def test_reservoir_order_does_not_change_scores():
    edin = random_reservoirs(200, seed=31, nan_frac=0.1)

    def scores(table):
        return table.set_index(["Reservoir_ID", "ZeltMethod"])["Score"].sort_index()

    forward = zelt.halvane_zelt(edin.copy())
    backward = zelt.halvane_zelt(edin.iloc[::-1].reset_index(drop=True))
    pdt.assert_series_equal(scores(forward[0]), scores(backward[0]), check_exact=True)
    # The data do exercise the carry-over of polymer limits that the
    # pipeline leaves out: with shared limits the two orders disagree.
    shared_fwd = halvane_reference(zelt, edin.copy(), fresh_limits=False)[0]
    shared_bwd = halvane_reference(zelt, edin.iloc[::-1].reset_index(drop=True),
                                   fresh_limits=False)[0]
    assert not scores(shared_fwd).equals(scores(shared_bwd))


def test_halvane_layout_for_one_reservoir():
    score, table, field, window = zelt.halvane_zelt(pd.DataFrame([nan_row(
        oil_density_max_val_deg_api=35.0, temp_max_val_deg_c=70.0, top_depth_feet=6000.0)]))
    assert list(score.columns) == SCORE_COLS
    assert list(score["ZeltMethod"]) == SORTED_METHODS
    assert list(score.index) == [METHODS.index(m) for m in SORTED_METHODS]
    assert list(table.columns) == ["ScreeningParam", "ZeltMethod", "Category", "Value"]
    assert len(table) == 330 and list(table.index) == list(range(330))
    assert list(table["Category"]) == ["Min"] * 165 + ["Max"] * 165
    assert set(table["ScreeningParam"]) == set(LABELS)
    assert list(field.columns) == FIELD_KEYS and list(field.index) == [0]
    assert list(window.columns) == WINDOW_COLS and list(window.index) == list(range(30))
    assert list(window["Category"]) == ["Min"] * 15 + ["Max"] * 15
    assert list(window["ZeltMethod"]) == METHODS * 2
    assert set(window["ScreeningParam"]) == {"Current Reservoir Pressure (psi)"}


def test_reference_table_values_follow_the_file():
    table = zelt.halvane_zelt(pd.DataFrame([nan_row()]))[1]
    original = read_table(zelt.get_filepath("screening_table.csv"))
    lo = original["Min"].to_numpy()
    hi = original["Max"].to_numpy()
    np.testing.assert_array_equal(table["Value"].to_numpy(), np.concatenate([lo, hi - lo]))
    units = dict(zip(PARAMS, LABELS))
    assert list(table["ScreeningParam"][:165]) == [units[p] for p in
                                                   original.index.get_level_values(0)]


def test_score_rows_sorted_by_name_then_method():
    names = ["b", "A", "b", np.nan, "A"]
    edin = pd.DataFrame([nan_row(resv_id=f"r{k}", reservoir_unit_name=v,
                                 oil_density_max_val_deg_api=20.0 + 5 * k)
                         for k, v in enumerate(names)])
    score = zelt.halvane_zelt(edin)[0]
    n = len(names)
    groups = [[1, 4], [0, 2], [3]]           # "A", then "b", the missing name last
    expected_rows = [(r, m) for members in groups for m in SORTED_METHODS for r in members]
    assert list(score.index) == [METHODS.index(m) * n + r for r, m in expected_rows]
    assert list(score["Reservoir_ID"]) == [f"r{r}" for r, _ in expected_rows]


def test_pressure_window_fills_mmp_cells(ref_dir):
    edit_csv(ref_dir / "screening_table.csv", {
        ("Current Reservoir Pressure", "Horz. Misc. CO2", "Min"): "MMP",
        ("Current Reservoir Pressure", "Horz. Misc. CO2", "Max"): "6000",
        ("Current Reservoir Pressure", "Vert. Immisc. N2", "Min"): "500",
        ("Current Reservoir Pressure", "Vert. Immisc. N2", "Max"): "MMP",
        ("Current Reservoir Pressure", "Steam Flooding", "Min"): "",
        ("Current Reservoir Pressure", "Steam Flooding", "Max"): "25000",
        ("Current Reservoir Pressure", "Vert. Misc. HC", "Min"): "MMP",
        ("Current Reservoir Pressure", "Vert. Misc. HC", "Max"): "9000",
    })
    rows = [nan_row(resv_id="x", oil_density_max_val_deg_api=35.0, temp_max_val_deg_c=60.0),
            nan_row(resv_id="y", oil_density_max_val_deg_api=25.0, temp_max_val_deg_c=90.0)]
    window = zelt.halvane_zelt(pd.DataFrame(rows))[3]
    field = [zelt.get_field_data(k, r) for k, r in enumerate(rows)]
    mmps = [zelt.get_mmp(k, r, f) for k, (r, f) in enumerate(zip(rows, field))]

    def value(resv, method, category):
        hit = window[(window["Reservoir_ID"] == resv) & (window["ZeltMethod"] == method)
                     & (window["Category"] == category)]
        assert len(hit) == 1
        return hit["Value"].iloc[0]

    for resv, mmp in zip("xy", mmps):
        assert value(resv, "Horz. Misc. CO2", "Min") == mmp["mmp_co2"]
        assert value(resv, "Horz. Misc. CO2", "Max") == 6000.0 - mmp["mmp_co2"]
        assert value(resv, "Vert. Immisc. N2", "Min") == 500.0
        assert value(resv, "Vert. Immisc. N2", "Max") == mmp["mmp_n2"] - 500.0
        assert value(resv, "Steam Flooding", "Min") == mmp["mmp_n2"]
        assert value(resv, "Steam Flooding", "Max") == 25000.0 - mmp["mmp_n2"]
        assert value(resv, "Vert. Misc. HC", "Min") == mmp["mmp_hc"]
    assert list(window["Reservoir_ID"]) == (["x"] * 15 + ["y"] * 15) * 2


def test_halvane_early_return_for_no_rows():
    edin = pd.DataFrame({c: pd.Series([], dtype=object) for c in nan_row()})
    score, table, field, window = zelt.halvane_zelt(edin)
    for got, columns in ((score, SCORE_COLS), (field, FIELD_KEYS), (window, WINDOW_COLS)):
        assert list(got.columns) == columns and len(got) == 0
    assert len(table) == 330 and set(table["ScreeningParam"]) == set(PARAMS)
    pdt.assert_frame_equal(table, zelt.fix_screening_table_for_spotfire(
        read_table(zelt.get_filepath("screening_table.csv"))))
    assert all(edin[c].dtype == np.float64 for c in REQUIRED)


def test_halvane_lower_cases_and_converts_the_callers_table():
    row = nan_row(top_depth_feet="5000")
    edin = pd.DataFrame([{(k.upper() if k.startswith(("resv", "top")) else k): v
                          for k, v in row.items()}])
    edin["Porosity_Avg_PCT"] = edin.pop("porosity_avg_pct").astype(object)
    field = zelt.halvane_zelt(edin)[2]
    assert list(edin.columns) == [c.lower() for c in edin.columns]
    assert set(edin.columns) == set(row)
    assert all(edin[c].dtype == np.float64 for c in REQUIRED)
    assert field["Reservoir Depth"][0] == 5000.0 and field["Reservoir_ID"][0] == "R1"


@pytest.mark.parametrize("column", ["resv_id", "reservoir_unit_name", "top_depth_feet"])
def test_halvane_missing_column(column):
    edin = random_reservoirs(4, seed=1).drop(columns=column)
    with pytest.raises(KeyError, match=column):
        zelt.halvane_zelt(edin)


def test_halvane_missing_required_column_fails_before_reading_the_file(tmp_path):
    edin = random_reservoirs(4, seed=1).drop(columns="top_depth_feet")
    zelt.__file__ = str(tmp_path / "zelt.so")          # no reference file there
    with pytest.raises(KeyError, match="top_depth_feet"):
        zelt.halvane_zelt(edin)
    with pytest.raises(KeyError):
        zelt.halvane_zelt(pd.DataFrame())


def test_halvane_text_value_is_value_error():
    edin = random_reservoirs(4, seed=1)
    edin["porosity_avg_pct"] = edin["porosity_avg_pct"].astype(object)
    edin.loc[2, "porosity_avg_pct"] = "twenty"
    with pytest.raises(ValueError):
        zelt.halvane_zelt(edin)


def test_halvane_missing_reference_file(tmp_path):
    edin = random_reservoirs(4, seed=1)
    edin.columns = [c.upper() for c in edin.columns]
    zelt.__file__ = str(tmp_path / "zelt.so")
    with pytest.raises(FileNotFoundError):
        zelt.halvane_zelt(edin)
    # Done before the failure, the caller's table keeps these changes.
    assert list(edin.columns) == [c.lower() for c in edin.columns]
    assert all(edin[c].dtype == np.float64 for c in REQUIRED)


def test_halvane_missing_pair_in_reference_file(ref_dir):
    edit_csv(ref_dir / "screening_table.csv", {}, drop=[("Reservoir Dip", "SAGD")])
    with pytest.raises(KeyError):
        zelt.halvane_zelt(random_reservoirs(4, seed=1))


# ------------------------------------------------------------ the 2019 method

@pytest.mark.parametrize("dataset", DATASETS, ids=DATASET_IDS)
def test_uom_matches_step_functions(dataset):
    edin = random_reservoirs(**dataset)
    edin.columns = [c.upper() if k % 2 else c for k, c in enumerate(edin.columns)]
    score, table, p_values, field = compare_uom(edin)
    n = dataset["n"]
    assert (len(score), len(table), len(p_values), len(field)) == (12 * n, 384, 12 * n, n)
    assert score["Score"].between(-1.0, 1.0).all()


def test_uom_zero_weights_give_nan(ref_dir):
    edit_csv(ref_dir / "screening_table_2019.csv",
             {(p, "Microbial", "Weighting"): "0" for p in PARAMS_2019})
    edin = random_reservoirs(30, seed=41)
    with pytest.warns(RuntimeWarning):
        got = zelt.uom_zelt(edin.copy())
    with pytest.warns(RuntimeWarning):
        expected = uom_reference(zelt, edin.copy())
    assert_tables_equal(got, expected)
    score = got[0]
    assert score.loc[score["ZeltMethod"] == "Microbial", "Score"].isna().all()
    assert score.loc[score["ZeltMethod"] != "Microbial", "Score"].notna().all()


def test_uom_with_an_edited_reference_file(ref_dir):
    path = ref_dir / "screening_table_2019.csv"
    edit_csv(path, {("Depth", "Surfactant", "Min"): "MMP", ("Porosity", "Combustion", "Upper"): "",
                    ("Oil Gravity", "Misc. CO2", "Lower"): "0.01",
                    ("Permeability", "Hot Water", "Upper"): "100000.0"})
    df = pd.read_csv(path, dtype=str, keep_default_na=False)
    df["Notes"] = "x"
    df.sample(frac=1.0, random_state=4).to_csv(path, index=False)
    compare_uom(random_reservoirs(80, seed=42))


def test_uom_layout_for_three_reservoirs():
    edin = pd.DataFrame([nan_row(resv_id=k, reservoir_unit_name=name) for k, name in
                         enumerate(["B", "A", "B"])])
    score, table, p_values, field = zelt.uom_zelt(edin)
    assert list(score.columns) == SCORE_COLS
    second = score[score["Reservoir_ID"] == 1]
    assert list(second["ZeltMethod"]) == SORTED_METHODS_2019
    assert second.index[second["ZeltMethod"] == "Combustion"][0] == 4
    assert list(score["Reservoir_ID"][:12]) == [1] * 12
    assert list(score["Reservoir_ID"][12:]) == [0, 2] * 12
    assert list(table.columns) == ["ScreeningParam", "ZeltMethod", "Category", "Value"]
    assert list(table["Category"]) == [c for c in ("Lower", "Min", "Max", "Upper") for _ in range(96)]
    assert set(table["ScreeningParam"]) == set(LABELS_2019)
    assert list(p_values.columns) == ["ZeltMethod"] + PARAMS_2019
    assert list(p_values.index) == list(range(36))
    assert list(p_values["ZeltMethod"]) == METHODS_2019 * 3
    assert list(field.columns) == ["Reservoir_ID"] + PARAMS_2019
    assert list(field["Reservoir_ID"]) == [0, 1, 2]


def test_uom_reference_table_values_follow_the_file():
    table = zelt.uom_zelt(pd.DataFrame([nan_row()]))[1]
    f = read_table_2019(zelt.get_filepath("screening_table_2019.csv"))
    expected = np.concatenate([f["Lower"], f["Min"] - f["Lower"], f["Max"] - f["Min"],
                               f["Upper"] - f["Max"]])
    np.testing.assert_array_equal(table["Value"].to_numpy(), expected)


def test_uom_early_return_for_no_rows():
    edin = pd.DataFrame({c: pd.Series([], dtype=object) for c in nan_row()})
    score, table, p_values, field = zelt.uom_zelt(edin)
    for got, columns in ((score, SCORE_COLS), (p_values, ["ZeltMethod"] + PARAMS_2019),
                         (field, ["Reservoir_ID"] + PARAMS_2019)):
        assert list(got.columns) == columns and len(got) == 0
    assert len(table) == 384 and set(table["ScreeningParam"]) == set(PARAMS_2019)
    assert all(edin[c].dtype == np.float64 for c in REQUIRED_2019)


@pytest.mark.parametrize("column", ["resv_id", "reservoir_unit_name"])
def test_uom_missing_column(column):
    with pytest.raises(KeyError, match=column):
        zelt.uom_zelt(random_reservoirs(4, seed=1).drop(columns=column))


def test_uom_text_value_is_value_error():
    edin = random_reservoirs(4, seed=1)
    edin["top_depth_feet"] = ["1000", "deep", "2000", "3000"]
    with pytest.raises(ValueError):
        zelt.uom_zelt(edin)


@pytest.mark.parametrize("column", ["Lower", "Min", "Max", "Upper", "Weighting"])
def test_uom_text_in_reference_file_is_value_error(ref_dir, column):
    edit_csv(ref_dir / "screening_table_2019.csv", {("Depth", "Misc. HC", column): "deep"})
    with pytest.raises(ValueError):
        zelt.uom_zelt(random_reservoirs(4, seed=1))


def test_uom_reference_file_failures(ref_dir):
    edit_csv(ref_dir / "screening_table_2019.csv", {}, drop=[("Porosity", "Microbial")])
    with pytest.raises(KeyError):
        zelt.uom_zelt(random_reservoirs(4, seed=1))
    (ref_dir / "screening_table_2019.csv").unlink()
    with pytest.raises(FileNotFoundError):
        zelt.uom_zelt(random_reservoirs(4, seed=1))


# ------------------------------------------------------------ the reshaping functions

def bounds_table(rows, columns):
    index = pd.MultiIndex.from_arrays([[r[0] for r in rows], [r[1] for r in rows]],
                                      names=["ScreeningParam", "ZeltMethod"])
    return pd.DataFrame([r[2:] for r in rows], index=index, columns=columns, dtype=float)


def test_fix_screening_table_for_spotfire():
    df = bounds_table([("P", "m", 10.0, 40.0, 1.0), ("Q", "n", np.nan, 40.0, 0.0)],
                      ["Min", "Max", "Stopper"])
    before = df.copy()
    out = zelt.fix_screening_table_for_spotfire(df)
    expected = pd.DataFrame({"ScreeningParam": ["P", "Q", "P", "Q"], "ZeltMethod": ["m", "n", "m", "n"],
                             "Category": ["Min", "Min", "Max", "Max"],
                             "Value": [10.0, np.nan, 30.0, np.nan]})
    pdt.assert_frame_equal(out, expected, check_exact=True)
    pdt.assert_frame_equal(df, before)


def test_fix_screening_table_2019_for_spotfire():
    df = bounds_table([("P", "m", 5.0, 10.0, 40.0, 100.0, 2.0),
                       ("Q", "n", 5.0, np.nan, 40.0, 100.0, 1.0)],
                      ["Lower", "Min", "Max", "Upper", "Weighting"])
    before = df.copy()
    out = zelt.fix_screening_table_2019_for_spotfire(df)
    assert list(out["Category"]) == ["Lower"] * 2 + ["Min"] * 2 + ["Max"] * 2 + ["Upper"] * 2
    np.testing.assert_array_equal(out["Value"], [5.0, 5.0, 5.0, np.nan, 30.0, np.nan, 60.0, 60.0])
    assert list(out.columns) == ["ScreeningParam", "ZeltMethod", "Category", "Value"]
    assert list(out.index) == list(range(8))
    pdt.assert_frame_equal(df, before)


def test_fix_screening_tables_empty_and_failures():
    empty = zelt.fix_screening_table_for_spotfire(bounds_table([], ["Min", "Max"]))
    assert list(empty.columns) == ["ScreeningParam", "ZeltMethod", "Category", "Value"]
    assert len(empty) == 0
    empty = zelt.fix_screening_table_2019_for_spotfire(bounds_table([], ["Lower", "Min", "Max", "Upper"]))
    assert len(empty) == 0 and list(empty.columns)[-1] == "Value"
    with pytest.raises(KeyError):
        zelt.fix_screening_table_for_spotfire(bounds_table([("P", "m", 1.0)], ["Min"]))
    with pytest.raises(KeyError):
        zelt.fix_screening_table_2019_for_spotfire(
            bounds_table([("P", "m", 1.0, 2.0, 3.0)], ["Lower", "Min", "Max"]))
    with pytest.raises(KeyError):
        zelt.fix_screening_table_for_spotfire(pd.DataFrame({"Min": [1.0], "Max": [2.0]}))
    text = bounds_table([("P", "m", 1.0, 2.0)], ["Min", "Max"]).astype(object)
    text.iloc[0, 0] = "low"
    with pytest.raises(TypeError):
        zelt.fix_screening_table_for_spotfire(text)


# ------------------------------------------------------------ size and threads

@pytest.mark.slow
def test_hundred_thousand_reservoirs():
    n = 100_000
    edin = random_reservoirs(n, seed=51)
    score, _, field, window = zelt.halvane_zelt(edin)
    assert (len(score), len(field), len(window)) == (15 * n, n, 30 * n)
    assert score["Score"].between(-1.0, 1.0).all()
    assert np.array_equal(np.sort(score.index.to_numpy()), np.arange(15 * n))
    lo = read_table(zelt.get_filepath("screening_table.csv")).loc[
        ("Current Reservoir Pressure", "Horz. Misc. CO2"), "Min"]
    sample = np.random.default_rng(1).choice(n, 200, replace=False)
    for k in sample:
        fd = zelt.get_field_data(k, edin.iloc[k])
        got = field.iloc[k]
        assert all(got[c] == fd[c] or (got[c] != got[c] and fd[c] != fd[c]) for c in FIELD_KEYS)
        mmp = zelt.get_mmp(k, edin.iloc[k], fd)
        # The reservoir's "Min" row of the first method.
        assert window["Value"].iloc[15 * k] == (mmp["mmp_co2"] if math.isnan(lo) else lo)

    edin = random_reservoirs(n, seed=52)
    score, _, p_values, field = zelt.uom_zelt(edin.copy())
    assert (len(score), len(p_values), len(field)) == (12 * n, 12 * n, n)
    # A 2019 score depends on its own reservoir only: a sample alone gives the same.
    sample = np.sort(np.random.default_rng(2).choice(n, 300, replace=False))
    alone = uom_reference(zelt, edin.iloc[sample].reset_index(drop=True))
    rows = np.concatenate([np.arange(12 * k, 12 * k + 12) for k in sample])
    pdt.assert_frame_equal(p_values.iloc[rows].reset_index(drop=True), alone[2], check_exact=True)
    ids = set(edin["resv_id"].iloc[sample])
    mine = score[score["Reservoir_ID"].isin(ids)].set_index(["Reservoir_ID", "ZeltMethod"])["Score"]
    ref = alone[0].set_index(["Reservoir_ID", "ZeltMethod"])["Score"]
    pdt.assert_series_equal(mine.sort_index(), ref.sort_index(), check_exact=True)


def test_concurrent_calls_from_threads_agree_with_serial_calls():
    import threading
    tables = [random_reservoirs(1500, seed=60 + k) for k in range(4)]
    serial = [(zelt.halvane_zelt(t.copy()), zelt.uom_zelt(t.copy())) for t in tables]
    results, errors = [None] * 4, []

    def work(k):
        try:
            for _ in range(3):
                results[k] = (zelt.halvane_zelt(tables[k].copy()), zelt.uom_zelt(tables[k].copy()))
        except Exception as e:   # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for got, expected in zip(results, serial):
        assert_tables_equal(got[0], expected[0])
        assert_tables_equal(got[1], expected[1])

"""Tables as analysts hand them to the pipelines: sorted and filtered, with
any row index; tables that change under the call; column names that are not
text or collide in lower case; text and missing markers in numeric cells;
reference files with text cells or crossed limits. Each case asserts its
exact outcome."""
import os

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import zelt
from reference_pipeline import edit_csv, nan_row, random_reservoirs

SAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "data", "sample_reservoirs.csv")
PIPELINES = {"halvane": zelt.halvane_zelt, "uom": zelt.uom_zelt}


def sample():
    return pd.read_csv(SAMPLE)


def assert_tables_equal(got, expected):
    assert len(got) == len(expected)
    for k, (g, e) in enumerate(zip(got, expected)):
        try:
            pdt.assert_frame_equal(g, e, check_exact=True)
        except AssertionError as err:
            raise AssertionError(f"table {k}: {err}") from None


def scores_by_id(score_table):
    return score_table.set_index(["Reservoir_ID", "ZeltMethod"])["Score"].sort_index()


# ------------------------------------------------------------ any row index

def _tables():
    t = random_reservoirs(40, seed=71, nan_frac=0.3)
    rng = np.random.default_rng(5)
    return {
        "sorted": t.sort_values("top_depth_feet"),
        "filtered": t[t.oil_density_max_val_deg_api > 25],
        "text": t.set_index("resv_id", drop=False),
        "datetime": t.set_index(pd.date_range("2020-01-01", periods=len(t), freq="h")),
        "duplicated": t.set_axis([k // 3 for k in range(len(t))]),
        "multi": t.set_index(["reservoir_unit_name", "gas_reserve_date_qual"], drop=False),
        "permuted": t.set_axis(rng.permutation(len(t))),
        "reversed-range": t.set_axis(pd.RangeIndex(len(t) - 1, -1, -1)),
        "beyond-positions": t.set_axis(np.arange(len(t)) * 10 + 7),
    }


@pytest.mark.parametrize("pipeline", PIPELINES)
@pytest.mark.parametrize("kind", list(_tables()))
def test_any_index_pairs_rows_by_position(pipeline, kind):
    table = _tables()[kind]
    mine, plain = table.copy(), table.reset_index(drop=True)
    assert_tables_equal(PIPELINES[pipeline](mine), PIPELINES[pipeline](plain))
    # The caller's table is changed the same way and keeps its own index.
    pdt.assert_index_equal(mine.index, table.index)
    pdt.assert_frame_equal(mine.reset_index(drop=True), plain)


@pytest.mark.parametrize("pipeline", PIPELINES)
def test_sorted_sample_scores_as_unsorted(pipeline):
    # Kern River's steam flood scored -0.3 when rows were paired by label.
    plain = scores_by_id(PIPELINES[pipeline](sample())[0])
    by_depth = scores_by_id(PIPELINES[pipeline](sample().sort_values("top_depth_feet"))[0])
    pdt.assert_series_equal(by_depth, plain, check_exact=True)
    assert by_depth.loc[("VF25", "Steam Flooding")] == 1.0


def test_filtered_slice_of_the_callers_table():
    # A slice of another table: converted in place without touching the
    # other table, and without pandas' warning about setting on a copy.
    whole = sample()
    before = whole.copy()
    deep = whole[whole.top_depth_feet > 3000]
    score, _, field, _ = zelt.halvane_zelt(deep)
    assert list(field["Reservoir_ID"]) == list(before.loc[before.top_depth_feet > 3000, "resv_id"])
    assert len(score) == 15 * len(field)
    pdt.assert_frame_equal(whole, before)


# ------------------------------------------------------------ tables changing under the call

class Shrinking(pd.DataFrame):
    """Drops rows, down to `keep`, whenever column `trigger` is looked up."""

    _metadata = ["trigger", "keep"]

    def __getitem__(self, key):
        if isinstance(key, str) and key.lower() == self.trigger:
            self.drop(self.index[self.keep:], inplace=True)
        return super().__getitem__(key)


def shrinking(trigger, keep, n=6):
    table = Shrinking(random_reservoirs(n, seed=72))
    table.trigger, table.keep = trigger, keep
    return table


@pytest.mark.parametrize("pipeline", PIPELINES)
@pytest.mark.parametrize("trigger, keep, read", [
    ("resv_id", 0, "'resv_id'"),
    ("resv_id", 1, "'resv_id'"),
    ("porosity_avg_pct", 1, "'porosity_avg_pct'"),
    ("oil_density_max_val_deg_api", 0, "'oil_density_max_val_deg_api'"),
])
def test_table_shrinking_during_the_call(pipeline, trigger, keep, read):
    with pytest.raises(ValueError) as info:
        PIPELINES[pipeline](shrinking(trigger, keep))
    assert str(info.value) == (f"{PIPELINES[pipeline].__name__}: the table changed length during "
                               f"the call (6 rows at the start, {keep} when column {read} was read)")


class Widening(pd.DataFrame):
    """Adds a column the first time a column is looked up."""

    def __getitem__(self, key):
        if "added" not in self.columns:
            self.insert(0, "added", 0.0)
        return super().__getitem__(key)


def test_table_gaining_a_column_during_the_call():
    table = Widening(random_reservoirs(4, seed=72).rename(columns={"resv_id": "RESV_ID"}))
    with pytest.raises(ValueError, match="^uom_zelt: the table's columns changed during the call$"):
        zelt.uom_zelt(table)
    assert list(table.columns[:2]) == ["added", "RESV_ID"]   # not lower-cased


class DropsOnFloat:
    """A cell whose conversion to a number empties the table."""

    def __init__(self, table):
        self.table = table

    def __float__(self):
        self.table.drop(self.table.index, inplace=True)
        return 1.0


class FailsOnFloat:
    def __float__(self):
        raise RuntimeError("no number here")


def test_value_conversion_that_changes_the_table():
    table = random_reservoirs(5, seed=73)
    table["pressure_psi"] = table["pressure_psi"].astype(object)
    table.loc[2, "pressure_psi"] = DropsOnFloat(table)
    with pytest.raises(ValueError, match=r"^halvane_zelt: the table changed length during the call "
                                         r"\(5 rows at the start, 0 when column 'pressure_psi' was read\)$"):
        zelt.halvane_zelt(table)
    table = random_reservoirs(5, seed=73)
    table["top_depth_feet"] = table["top_depth_feet"].astype(object)
    table.loc[1, "top_depth_feet"] = FailsOnFloat()
    with pytest.raises(RuntimeError, match="^no number here$"):
        zelt.uom_zelt(table)


# ------------------------------------------------------------ column names

def test_column_names_that_are_not_text():
    table = random_reservoirs(3, seed=74)
    table[7] = 1.0
    table[("a", "b")] = 2.0
    before = table.copy()
    with pytest.raises(TypeError) as info:
        zelt.halvane_zelt(table)
    assert str(info.value) == "halvane_zelt: column names must be text; these are not: 7, ('a', 'b')"
    pdt.assert_frame_equal(table, before)

    table = random_reservoirs(3, seed=74)
    table.columns = pd.MultiIndex.from_tuples([(c, "x") for c in table.columns])
    with pytest.raises(TypeError) as info:
        zelt.uom_zelt(table)
    assert str(info.value) == ("uom_zelt: column names must be text; these are not: ('resv_id', 'x'), "
                               "('reservoir_unit_name', 'x'), ('oil_density_max_val_deg_api', 'x'), "
                               "('oil_viscosity_max_val_cp', 'x'), ('top_depth_feet', 'x') and 12 more")


def test_column_names_equal_in_lower_case():
    table = random_reservoirs(3, seed=75)
    table["RESV_ID"] = table["resv_id"]
    table["Notes"], table["notes"] = "a", "b"
    before = table.copy()
    with pytest.raises(ValueError) as info:
        zelt.halvane_zelt(table)
    assert str(info.value) == ("halvane_zelt: column names must stay distinct in lower case; these do "
                               "not: 'resv_id' and 'RESV_ID'; 'Notes' and 'notes'")
    pdt.assert_frame_equal(table, before)

    # The same name twice: refused for a column the pipeline reads, carried
    # along for one it does not.
    twice = pd.concat([random_reservoirs(3, seed=75), random_reservoirs(3, seed=75)[["top_depth_feet"]]],
                      axis=1)
    with pytest.raises(ValueError, match="^uom_zelt: column names must stay distinct in lower case; "
                                         "these do not: 'top_depth_feet' and 'top_depth_feet'$"):
        zelt.uom_zelt(twice)
    basin_twice = pd.concat([random_reservoirs(3, seed=75), pd.DataFrame({"basin": ["x"] * 3})], axis=1)
    assert_tables_equal(zelt.uom_zelt(basin_twice), zelt.uom_zelt(random_reservoirs(3, seed=75)))


def test_missing_columns_in_one_key_error():
    table = random_reservoirs(3, seed=76).drop(columns=["top_depth_feet", "pressure_psi", "resv_id"])
    before = table.copy()
    with pytest.raises(KeyError) as info:
        zelt.halvane_zelt(table)
    assert info.value.args == ("halvane_zelt: the table lacks the required columns 'resv_id', "
                               "'top_depth_feet'",)
    pdt.assert_frame_equal(table, before)
    with pytest.raises(KeyError) as info:
        zelt.uom_zelt(table.drop(columns=["reservoir_unit_name"]))
    assert info.value.args == ("uom_zelt: the table lacks the required columns 'resv_id', "
                               "'reservoir_unit_name'",)
    with pytest.raises(KeyError) as info:
        zelt.explain_halvane_zelt(random_reservoirs(3, seed=76).drop(columns=["reservoir_unit_name"]))
    assert info.value.args == ("explain_halvane_zelt: the table lacks the required column "
                               "'reservoir_unit_name'",)
    with pytest.raises(KeyError, match="the table lacks the required columns 'resv_id', "
                                       "'reservoir_unit_name', 'top_depth_feet'"):
        zelt.halvane_zelt(pd.DataFrame())


# ------------------------------------------------------------ cell values

def test_text_in_a_numeric_column_names_column_row_and_value():
    table = sample().set_index("resv_id", drop=False)
    table = table.rename(columns={"top_depth_feet": "Top_Depth_Feet"})
    table["Top_Depth_Feet"] = table["Top_Depth_Feet"].astype(object)
    table.loc["VF18", "Top_Depth_Feet"] = "4,760"
    before = table.copy()
    for pipeline in PIPELINES.values():
        with pytest.raises(ValueError) as info:
            pipeline(table)
        assert str(info.value) == (f"{pipeline.__name__}: column 'Top_Depth_Feet' holds '4,760' at "
                                   f"row 'VF18', which is not a number")
        pdt.assert_frame_equal(table, before)
    plain = random_reservoirs(4, seed=77)
    plain["salinity_max_val_ppm"] = [1.0, 2.0, [3.0], 4.0]
    with pytest.raises(ValueError, match=r"^halvane_zelt: column 'salinity_max_val_ppm' holds \[3\.0\] "
                                         r"at row 2, which is not a number$"):
        zelt.halvane_zelt(plain)


@pytest.mark.parametrize("pipeline", PIPELINES)
def test_missing_markers_and_number_text_in_numeric_columns(pipeline):
    floats = random_reservoirs(6, seed=78, nan_frac=0.0)
    floats.loc[[0, 2, 3], ["top_depth_feet", "porosity_avg_pct", "net_thickn_max_val_feet"]] = np.nan
    marked = floats.copy()
    depth = floats["top_depth_feet"]
    # Number text as Python writes a float (numpy 2 writes its scalars' repr
    # as "np.float64(...)", which is no number).
    marked["top_depth_feet"] = pd.Series([pd.NA, repr(float(depth[1])), None, np.nan, depth[4],
                                          str(float(depth[5]))], dtype=object)
    marked["porosity_avg_pct"] = floats["porosity_avg_pct"].astype("Float64")
    marked["net_thickn_max_val_feet"] = floats["net_thickn_max_val_feet"].astype(object).where(
        floats["net_thickn_max_val_feet"].notna(), pd.NaT)
    marked["permeab_avg_md"] = floats["permeab_avg_md"].round().astype("Int64")
    floats["permeab_avg_md"] = floats["permeab_avg_md"].round()
    assert_tables_equal(PIPELINES[pipeline](marked), PIPELINES[pipeline](floats.copy()))
    for column in ("top_depth_feet", "porosity_avg_pct", "net_thickn_max_val_feet", "permeab_avg_md"):
        assert marked[column].dtype == np.float64
    pdt.assert_frame_equal(marked, floats)


# ------------------------------------------------------------ reference files

def line_of(path, param, method):
    with open(path) as f:
        for number, line in enumerate(f, start=1):
            if line.startswith(f"{param},{method},"):
                return number
    raise AssertionError((param, method))


def test_text_cells_of_reference_files_name_file_line_and_column(ref_dir):
    path = ref_dir / "screening_table_2019.csv"
    edit_csv(path, {("Depth", "Misc. HC", "Upper"): "deep"})
    line = line_of(path, "Depth", "Misc. HC")
    with pytest.raises(ValueError) as info:
        zelt.uom_zelt(random_reservoirs(3, seed=79))
    assert str(info.value) == (f"screening_table_2019.csv, line {line} ('Depth', 'Misc. HC'): column "
                               f"'Upper' holds 'deep', text other than \"MMP\"; limits must be numbers")

    path = ref_dir / "screening_table.csv"
    edit_csv(path, {("Reservoir Dip", "SAGD", "Max"): "steep"})
    line = line_of(path, "Reservoir Dip", "SAGD")
    with pytest.raises(TypeError) as info:
        zelt.halvane_zelt(random_reservoirs(3, seed=79))
    assert str(info.value) == (f"screening_table.csv, line {line} ('Reservoir Dip', 'SAGD'): column "
                               f"'Max' holds 'steep', text other than \"MMP\"; limits must be numbers")


def test_blank_lines_do_not_shift_the_line_named(ref_dir):
    path = ref_dir / "screening_table_2019.csv"
    edit_csv(path, {("Porosity", "Microbial", "Min"): "ten"})
    text = path.read_text().splitlines()
    text.insert(3, "")
    text.insert(5, "   ")
    path.write_text("\n".join(text) + "\n")
    with pytest.raises(ValueError, match=rf"^screening_table_2019.csv, line "
                                         rf"{line_of(path, 'Porosity', 'Microbial')} "):
        zelt.uom_zelt(random_reservoirs(3, seed=79))


@pytest.mark.parametrize("file, edits, message", [
    ("screening_table.csv", {("Oil Gravity", "CSS", "Min"): "40", ("Oil Gravity", "CSS", "Max"): "20"},
     "screening_table.csv: the line ('Oil Gravity', 'CSS') has Min 40.0 above Max 20.0; "
     "limits must not cross"),
    ("screening_table_2019.csv", {("Porosity", "Combustion", "Lower"): "20"},
     "screening_table_2019.csv: the line ('Porosity', 'Combustion') has Lower 20.0 above Min 14.0; "
     "limits must not cross"),
    ("screening_table_2019.csv", {("Depth", "Microbial", "Upper"): "10"},
     "screening_table_2019.csv: the line ('Depth', 'Microbial') has Max 8000.0 above Upper 10.0; "
     "limits must not cross"),
], ids=["min-above-max", "lower-inside", "upper-inside"])
def test_crossed_limits_in_reference_files(ref_dir, file, edits, message):
    edit_csv(ref_dir / file, edits)
    pipeline = zelt.halvane_zelt if file == "screening_table.csv" else zelt.uom_zelt
    with pytest.raises(ValueError) as info:
        pipeline(pd.DataFrame([nan_row()]))
    assert str(info.value) == message
    # Even a table without rows gets no tables from such a file.
    empty = pd.DataFrame({c: pd.Series([], dtype=float) for c in nan_row()})
    with pytest.raises(ValueError, match="limits must not cross"):
        pipeline(empty)


def test_required_columns_are_the_identifier_the_name_and_the_first_methods_depth():
    # Every other column has a default or a correlation and may be absent.
    bare = pd.DataFrame({"resv_id": [1], "reservoir_unit_name": ["a"]})
    with pytest.raises(KeyError) as info:
        zelt.halvane_zelt(bare.copy())
    assert info.value.args == ("halvane_zelt: the table lacks the required column 'top_depth_feet'",)
    assert len(zelt.uom_zelt(bare.copy())[0]) == 12
    assert len(zelt.halvane_zelt(bare.assign(top_depth_feet=np.nan))[0]) == 15

"""The explanations of both methods and the optional input columns: every
row of explain_halvane_zelt and explain_uom_zelt against the step functions
driven one by one, its Source against what the table gave, its scores
against the pipelines'; the caller's table left alone; the pipelines' errors;
absent optional columns read as missing, a reported in-situ viscosity and
measured MMPs used where given."""
import math

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import zelt
from reference_pipeline import (IN_SITU, MEASURED_MMPS, METHODS, METHODS_2019, PARAMS, PARAMS_2019,
                                REQUIRED, REQUIRED_2019, convert_present, edit_csv, first_method_steps,
                                nan_row, nested_table_2019, random_reservoirs, read_table_2019)

COLUMNS = ["Reservoir_ID", "Reservoir", "ZeltMethod", "ScreeningParam", "Value", "Source", "Min", "Max",
           "Stopper", "Points", "Score"]
COLUMNS_2019 = ["Reservoir_ID", "Reservoir", "ZeltMethod", "ScreeningParam", "Value", "Source", "Lower",
                "Min", "Max", "Upper", "Weighting", "PValue", "Score"]
GAS = {"CO2": "mmp_co2_psi", "HC": "mmp_hc_psi", "N2": "mmp_n2_psi"}
# The columns of the explanations: the step functions' columns above, with
# how sure a row is (Basis, Covered) and the method's Coverage.
OUT = COLUMNS[:6] + ["Basis", "Covered"] + COLUMNS[6:] + ["Coverage"]
OUT_2019 = COLUMNS_2019[:6] + ["Basis", "Covered"] + COLUMNS_2019[6:] + ["Coverage"]


def check_coverage(got):
    """Covered is a row resting on the table (reported or measured; kv with
    its kh); Coverage the method's share of points or weights of such rows."""
    covered = got.Source.isin(["reported", "measured"])
    if "Points" in got.columns:
        kh = got.Source.where(got.ScreeningParam == "Average Horizontal Permeability").bfill()
        kv = got.ScreeningParam == "Average Vertical Permeability"
        covered = covered.where(~kv, kh.isin(["reported", "measured"]))
        share = covered.groupby([got.Reservoir_ID, got.ZeltMethod], sort=False).transform("mean")
    else:
        weights = got.Weighting * covered
        share = (weights.groupby([got.Reservoir_ID, got.ZeltMethod], sort=False).transform("sum")
                 / got.Weighting.groupby([got.Reservoir_ID, got.ZeltMethod], sort=False).transform("sum"))
    assert (got.Covered == covered).all()
    np.testing.assert_allclose(got.Coverage, share)


def given(row, column):
    value = row.get(column, math.nan)
    return not (isinstance(value, float) and math.isnan(value))


# ------------------------------------------------------------ what Source must say

def first_sources(row):
    """Parameter -> Source of the first method for one input row (a dict)."""
    depth = given(row, "top_depth_feet")

    def from_depth(column):
        return "reported" if given(row, column) else "correlation" if depth else "missing"

    def either(column, fallback, estimate):
        return "reported" if given(row, column) else "correlation" if given(row, fallback) else estimate

    saturation = ("default" if not given(row, "water_saturation_max_val_pct") else
                  "reported" if given(row, "oil_recovery_pp_factor") else "correlation")
    return {
        "Oil Gravity": "reported" if given(row, "oil_density_max_val_deg_api") else "default",
        "Oil Viscosity (in situ)": "reported" if given(row, IN_SITU) else "correlation",
        "Reservoir Depth": "reported" if depth else "missing",
        "Net Pay Thickness": either("net_thickn_max_val_feet", "gross_thickn_max_val_feet", "default"),
        "Average Vertical Permeability": "fixed",
        "Average Horizontal Permeability": either("permeab_avg_md", "porosity_avg_pct", "default"),
        "Current Reservoir Pressure": from_depth("pressure_psi"),
        "Reservoir Temperature": from_depth("temp_max_val_deg_c"),
        "Current Oil Saturation": saturation,
        "Reservoir Dip": "default",
        "Formation Salinity": from_depth("salinity_max_val_ppm"),
    }


def first_row_source(row, sources, method, param):
    """The pressure rows of the gas methods compare a reported pressure with
    the gas's MMP: measured where the table gave it."""
    if param == "Current Reservoir Pressure" and "isc. " in method and sources[param] == "reported":
        gas = next(column for key, column in GAS.items() if key in method)
        return "measured" if given(row, gas) else "correlation"
    return sources[param]


def sources_2019(row):
    def rep(column, estimate):
        return "reported" if given(row, column) else estimate

    return {
        "Porosity": rep("porosity_avg_pct", "default"),
        "Permeability": rep("permeab_avg_md", "correlation" if given(row, "porosity_avg_pct") else "default"),
        "Depth": rep("top_depth_feet", "default"),
        "Oil Gravity": rep("oil_density_max_val_deg_api", "default"),
        "Oil Viscosity (in situ)": rep(IN_SITU, "correlation"),
        "Reservoir Temperature": rep("temp_max_val_deg_c", "correlation"),
        "Current Oil Saturation": rep("water_saturation_max_val_pct", "default"),
        "Net Pay Thickness": rep("net_thickn_max_val_feet",
                                 "correlation" if given(row, "gross_thickn_max_val_feet") else "default"),
    }


# ------------------------------------------------------------ expected tables from the step functions

def expected_first(edin):
    table = edin.copy()
    convert_present(table, REQUIRED + [IN_SITU] + MEASURED_MMPS)
    field_data, _, limits, points, scores = first_method_steps(zelt, table)
    stoppers = limits[0]
    rows = []
    for k, record in enumerate(table.to_dict("records")):
        sources = first_sources(record)
        for m in METHODS:
            for p in PARAMS:
                cell = limits[k][p][m]
                rows.append((scores[k]["Reservoir_ID"], scores[k]["Reservoir"], m, p, field_data[k][p],
                             first_row_source(record, sources, m, p), cell["Min"], cell["Max"],
                             bool(stoppers[p][m]["Stopper"]), points[k][p][m], scores[k][m]))
    return pd.DataFrame(rows, columns=COLUMNS)


def expected_2019(edin):
    table = edin.copy()
    convert_present(table, REQUIRED_2019 + [IN_SITU])
    nested = nested_table_2019(read_table_2019(zelt.get_filepath("screening_table_2019.csv")))
    field_data = [zelt.get_field_data_2019(idx, row) for idx, row in table.iterrows()]
    scores, p_values = zelt.get_zelt_score_2019(table, field_data, nested, METHODS_2019, PARAMS_2019)
    rows = []
    for k, record in enumerate(table.to_dict("records")):
        sources = sources_2019(record)
        for j, m in enumerate(METHODS_2019):
            for p in PARAMS_2019:
                lim = nested[p][m]
                rows.append((scores[k]["Reservoir_ID"], scores[k]["Reservoir"], m, p, field_data[k][p],
                             sources[p], lim["Lower"], lim["Min"], lim["Max"], lim["Upper"],
                             lim["Weighting"], p_values[12 * k + j][p], scores[k][m]))
    return pd.DataFrame(rows, columns=COLUMNS_2019)


def keyed(score_table):
    return score_table.set_index(["Reservoir_ID", "ZeltMethod"])["Score"].sort_index()


def explained_scores(explanation):
    return keyed(explanation.groupby(["Reservoir_ID", "ZeltMethod"], sort=False)["Score"].first().reset_index())


TABLES = [
    dict(n=60, seed=81, nan_frac=0.3),
    dict(n=45, seed=82, nan_frac=0.3, optional=True),
    dict(n=20, seed=83, nan_frac=1.0, optional=True),
    dict(n=30, seed=84, nan_frac=0.0, id_kind="int", optional=True),
]
TABLE_IDS = ["plain", "optional", "all-missing", "int-ids"]


@pytest.mark.parametrize("table_args", TABLES, ids=TABLE_IDS)
def test_first_explanation_is_the_step_functions_row_by_row(table_args):
    edin = random_reservoirs(**table_args)
    got = zelt.explain_halvane_zelt(edin)
    assert list(got.columns) == OUT
    pdt.assert_frame_equal(got[COLUMNS], expected_first(edin), check_exact=True)
    check_coverage(got)
    pdt.assert_series_equal(explained_scores(got), keyed(zelt.halvane_zelt(edin.copy())[0]), check_exact=True)


@pytest.mark.parametrize("table_args", TABLES, ids=TABLE_IDS)
def test_2019_explanation_is_the_step_functions_row_by_row(table_args):
    edin = random_reservoirs(**table_args)
    got = zelt.explain_uom_zelt(edin)
    assert list(got.columns) == OUT_2019
    pdt.assert_frame_equal(got[COLUMNS_2019], expected_2019(edin), check_exact=True)
    check_coverage(got)
    pdt.assert_series_equal(explained_scores(got), keyed(zelt.uom_zelt(edin.copy())[0]), check_exact=True)


def test_every_source_occurs_and_means_what_it_says():
    edin = random_reservoirs(60, seed=85, nan_frac=0.4, optional=True)
    first = zelt.explain_halvane_zelt(edin)
    assert set(first["Source"]) == {"reported", "default", "correlation", "measured", "fixed", "missing"}
    assert first.loc[first.Source == "missing", "Value"].isna().all()
    assert first.loc[first.Source != "missing", "Value"].notna().all()
    # A missing value never counts as a violation.
    assert (first.loc[first.Source == "missing", "Points"] == 10.0).all()
    measured = first[first.Source == "measured"]
    assert set(measured.ScreeningParam) == {"Current Reservoir Pressure"}
    assert set(zelt.explain_uom_zelt(edin)["Source"]) == {"reported", "default", "correlation"}


# ------------------------------------------------------------ the caller's table and its rows

def test_explanations_leave_the_callers_table_alone():
    edin = random_reservoirs(12, seed=86, optional=True)
    edin.columns = [c.upper() if k % 2 else c for k, c in enumerate(edin.columns)]
    edin = edin.rename(columns={"top_depth_feet": "Top_Depth_Feet", "TOP_DEPTH_FEET": "Top_Depth_Feet"})
    edin["Top_Depth_Feet"] = [repr(v) for v in edin["Top_Depth_Feet"]]      # numbers as text
    edin["mmp_co2_psi"] = edin["mmp_co2_psi"].astype("Float64")
    before = edin.copy()
    first, second = zelt.explain_halvane_zelt(edin), zelt.explain_uom_zelt(edin)
    pdt.assert_frame_equal(edin, before)
    # The same rows as from the table the pipelines leave behind.
    converted = edin.copy()
    zelt.halvane_zelt(converted)
    pdt.assert_frame_equal(first, zelt.explain_halvane_zelt(converted), check_exact=True)
    pdt.assert_frame_equal(second, zelt.explain_uom_zelt(converted), check_exact=True)


@pytest.mark.parametrize("function", [zelt.explain_halvane_zelt, zelt.explain_uom_zelt])
def test_any_row_index_pairs_rows_by_position(function):
    edin = random_reservoirs(25, seed=87, optional=True)
    plain = function(edin)
    for table in (edin.sort_values("top_depth_feet"), edin.set_index("resv_id", drop=False),
                  edin.set_axis(np.arange(25)[::-1] * 3)):
        order = table.reset_index(drop=True)
        pdt.assert_frame_equal(function(table), function(order), check_exact=True)
    pdt.assert_frame_equal(function(edin.set_axis(np.arange(25) + 100)), plain, check_exact=True)


def test_numeric_only_table_keeps_the_pipelines_identifiers():
    edin = random_reservoirs(6, seed=88).drop(columns=["basin", "gas_reserve_date_qual"])
    edin["resv_id"] = np.arange(6) + 500
    edin["reservoir_unit_name"] = np.arange(6) % 2
    scores = zelt.halvane_zelt(edin.copy())[0]
    got = zelt.explain_halvane_zelt(edin)
    assert type(got["Reservoir_ID"].iloc[0]) is type(scores["Reservoir_ID"].iloc[0])
    pdt.assert_series_equal(explained_scores(got), keyed(scores), check_exact=True)


def test_layout_of_one_reservoir_and_of_none():
    row = nan_row(top_depth_feet=5000.0)
    first = zelt.explain_halvane_zelt(pd.DataFrame([row]))
    assert list(first.columns) == OUT and len(first) == 165
    assert isinstance(first.index, pd.RangeIndex) and first.index.start == 0
    assert list(first.ZeltMethod) == [m for m in METHODS for _ in PARAMS]
    assert list(first.ScreeningParam) == PARAMS * 15
    assert first.Stopper.dtype == bool
    second = zelt.explain_uom_zelt(pd.DataFrame([row]))
    assert list(second.columns) == OUT_2019 and len(second) == 96
    assert list(second.ZeltMethod) == [m for m in METHODS_2019 for _ in PARAMS_2019]
    empty = pd.DataFrame({c: pd.Series([], dtype=float) for c in row})
    for function, columns in ((zelt.explain_halvane_zelt, OUT), (zelt.explain_uom_zelt, OUT_2019)):
        out = function(empty)
        assert list(out.columns) == columns and len(out) == 0


# ------------------------------------------------------------ the pipelines' errors

def error_of(function, table):
    with pytest.raises(Exception) as info:
        function(table)
    return type(info.value), str(info.value)


@pytest.mark.parametrize("pipeline, explain", [(zelt.halvane_zelt, zelt.explain_halvane_zelt),
                                               (zelt.uom_zelt, zelt.explain_uom_zelt)])
def test_explanations_fail_as_the_pipelines_do(ref_dir, pipeline, explain):
    text = random_reservoirs(4, seed=89)
    text["porosity_avg_pct"] = text["porosity_avg_pct"].astype(object)
    text.loc[2, "porosity_avg_pct"] = "twenty"
    clash = random_reservoirs(4, seed=89)
    clash["RESV_ID"] = clash["resv_id"]
    for bad in (text, clash, random_reservoirs(4, seed=89).drop(columns=["resv_id"]), [1, 2]):
        kind, message = error_of(explain, bad)
        assert (kind, message.replace(explain.__name__, pipeline.__name__, 1)) == error_of(pipeline, bad)
    assert error_of(explain, text)[1].startswith(explain.__name__ + ": column 'porosity_avg_pct'")

    if pipeline is zelt.halvane_zelt:
        edit_csv(ref_dir / "screening_table.csv", {("Oil Gravity", "CSS", "Min"): "40",
                                                   ("Oil Gravity", "CSS", "Max"): "20"})
    else:
        edit_csv(ref_dir / "screening_table_2019.csv", {("Depth", "Misc. HC", "Upper"): "deep"})
    good = random_reservoirs(4, seed=89)
    assert error_of(explain, good) == error_of(pipeline, good.copy())
    (ref_dir / "screening_table.csv").unlink()
    (ref_dir / "screening_table_2019.csv").unlink()
    with pytest.raises(FileNotFoundError):
        explain(good)


def test_zero_weights_warn_as_the_pipeline_does(ref_dir):
    edit_csv(ref_dir / "screening_table_2019.csv", {(p, "Microbial", "Weighting"): "0" for p in PARAMS_2019})
    with pytest.warns(RuntimeWarning, match="invalid value"):
        got = zelt.explain_uom_zelt(random_reservoirs(5, seed=90))
    assert got.loc[got.ZeltMethod == "Microbial", "Score"].isna().all()


# ------------------------------------------------------------ optional input columns

OPTIONAL_FIRST = ["oil_density_max_val_deg_api", "oil_viscosity_max_val_cp", "net_thickn_max_val_feet",
                  "gross_thickn_max_val_feet", "permeab_avg_md", "porosity_avg_pct", "oil_recovery_pp_factor",
                  "pressure_psi", "temp_max_val_deg_c", "water_saturation_max_val_pct", "original_pressure_psi",
                  "salinity_max_val_ppm", "gas_reserve_date_qual"]


def assert_tuples_equal(got, expected):
    for k, (g, e) in enumerate(zip(got, expected)):
        pdt.assert_frame_equal(g, e, check_exact=True, obj=f"table {k}")


@pytest.mark.parametrize("pipeline, absent", [
    (zelt.halvane_zelt, OPTIONAL_FIRST), (zelt.uom_zelt, REQUIRED_2019),
    (zelt.explain_halvane_zelt, OPTIONAL_FIRST), (zelt.explain_uom_zelt, REQUIRED_2019)])
def test_absent_optional_columns_read_as_missing(pipeline, absent):
    edin = random_reservoirs(30, seed=91, nan_frac=0.3)
    for dropped in (absent[:3], absent[3:7], absent[7:]):
        without = edin.drop(columns=dropped)
        missing = edin.copy()
        for column in dropped:
            missing[column] = np.nan
        columns = list(without.columns)
        got = pipeline(without)
        expected = pipeline(missing)
        if isinstance(got, tuple):
            assert_tuples_equal(got, expected)
        else:
            pdt.assert_frame_equal(got, expected, check_exact=True)
        assert list(without.columns) == columns     # nothing added to the caller's table


def test_in_situ_viscosity_is_used_as_it_stands():
    # A 30 cP steam-flood oil reported at reservoir conditions: the dead-oil
    # column would have halved it below steam's 20 cP minimum.
    row = nan_row(oil_density_max_val_deg_api=20.0, top_depth_feet=1500.0, net_thickn_max_val_feet=60.0,
                  permeab_avg_md=1500.0, water_saturation_max_val_pct=30.0, oil_recovery_pp_factor=5.0)
    dead = pd.DataFrame([dict(row, oil_viscosity_max_val_cp=30.0)])
    in_situ = pd.DataFrame([dict(row, oil_viscosity_max_val_cp=30.0, oil_viscosity_insitu_cp=30.0)])
    assert zelt.halvane_zelt(dead)[2]["Oil Viscosity (in situ)"][0] < 20.0
    score, _, field, _ = zelt.halvane_zelt(in_situ)
    assert field["Oil Viscosity (in situ)"][0] == 30.0
    assert score.set_index("ZeltMethod").loc["Steam Flooding", "Score"] == 1.0
    assert zelt.uom_zelt(in_situ.copy())[3]["Oil Viscosity (in situ)"][0] == 30.0
    # The step functions read it from the row too.
    assert zelt.get_field_data(0, in_situ.iloc[0])["Oil Viscosity (in situ)"] == 30.0
    assert zelt.get_field_data_2019(0, in_situ.iloc[0].to_dict())["Oil Viscosity (in situ)"] == 30.0


def test_measured_mmps_replace_the_correlation_for_their_gas():
    row = nan_row(oil_density_max_val_deg_api=38.0, temp_max_val_deg_c=70.0, top_depth_feet=6000.0,
                  pressure_psi=3000.0, mmp_co2_psi=2500.0, mmp_hc_psi=np.nan)
    table = pd.DataFrame([row])
    window = zelt.halvane_zelt(table.copy())[3]
    record = zelt.get_mmp(0, table.iloc[0], zelt.get_field_data(0, table.iloc[0]))
    assert record["mmp_co2"] == 2500.0
    assert record["mmp_hc"] == zelt.mmp(38.0, 70.0 * 1.8 + 32.0, "hc")
    mins = window[window.Category == "Min"].set_index("ZeltMethod")["Value"]
    assert mins["Horz. Misc. CO2"] == mins["Vert. Misc. CO2"] == 2500.0
    assert mins["Horz. Misc. HC"] == record["mmp_hc"]
    ex = zelt.explain_halvane_zelt(table).set_index(["ZeltMethod", "ScreeningParam"])
    pressure = "Current Reservoir Pressure"
    assert ex.loc[("Vert. Immisc. CO2", pressure), ["Max", "Source"]].tolist() == [2500.0, "measured"]
    assert ex.loc[("Vert. Misc. HC", pressure), "Source"] == "correlation"
    assert ex.loc[("Steam Flooding", pressure), "Source"] == "reported"


def test_step_functions_keep_their_lookups_by_label():
    row = pd.Series(nan_row(oil_viscosity_insitu_cp=5.0, mmp_co2_psi=2000.0))
    with pytest.raises(KeyError, match="gas_reserve_date_qual"):
        zelt.get_field_data(0, row.drop("gas_reserve_date_qual"))
    with pytest.raises(KeyError, match="net_thickn_max_val_feet"):
        zelt.get_field_data_2019(0, row.drop("net_thickn_max_val_feet"))
    with pytest.raises(KeyError, match="Reservoir Temperature"):
        zelt.get_mmp(0, row, {"Oil Gravity": 30.0})
    with pytest.raises(TypeError):
        zelt.get_mmp(0, row.replace({2000.0: "high"}), {"Oil Gravity": 30.0, "Reservoir Temperature": 150.0})

"""How sure a score is: the summaries against the pipelines' own scores, the
coverage rules, input warnings, refused non-finite values, the surface
temperature, the MMP's upper bound, and the in-place changes of the
caller's table under Copy-on-Write."""
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import zelt
from conftest import REPO_DIR, load_script

SYNTHETIC = load_script("synthetic_reservoirs", os.path.join(REPO_DIR, "tools", "synthetic_reservoirs.py"))
NUMERIC = SYNTHETIC.RANGES
SUMMARY_COLUMNS = ["Reservoir_ID", "Reservoir", "ZeltMethod", "Score", "Rank", "Coverage", "Screened",
                   "Estimated Knock-out"]


def random_table(n, seed, index=None, missing=0.3):
    return SYNTHETIC.synthetic_reservoirs(n, seed=seed, missing=missing, index=index)


def row(**values):
    base = {"resv_id": "X", "reservoir_unit_name": "X field", "gas_reserve_date_qual": None}
    base.update({name: np.nan for name, _, _ in NUMERIC})
    base.update(values)
    return base


PIPELINES = [(zelt.halvane_zelt, zelt.summary_halvane_zelt, zelt.explain_halvane_zelt),
             (zelt.uom_zelt, zelt.summary_uom_zelt, zelt.explain_uom_zelt)]


# ------------------------------------------------------------- the summaries

@pytest.mark.parametrize("index", [None, "reversed", "labels"])
@pytest.mark.parametrize("pipeline, summary, explain", PIPELINES, ids=["first", "2019"])
def test_summary_scores_are_the_pipelines_and_ranks_follow_them(pipeline, summary, explain, index):
    n = 40
    labels = {None: None, "reversed": list(range(n))[::-1], "labels": [f"row{k}" for k in range(n)]}[index]
    table = random_table(n, seed=11, index=labels)
    scores = pipeline(table.copy())[0]
    got = summary(table)
    assert list(got.columns) == SUMMARY_COLUMNS
    methods = list(dict.fromkeys(got["ZeltMethod"]))
    assert len(got) == n * len(methods)
    assert list(got["Reservoir_ID"]) == list(np.repeat(table["resv_id"].to_numpy(), len(methods)))
    assert list(got.index) == list(range(len(got)))
    expected = scores.set_index(["Reservoir_ID", "ZeltMethod"])["Score"]
    np.testing.assert_array_equal(got["Score"], expected.loc[list(zip(got.Reservoir_ID, got.ZeltMethod))])
    for _, group in got.groupby("Reservoir_ID"):
        for s, r in zip(group["Score"], group["Rank"]):
            assert r == 1 + (group["Score"] > s).sum()   # ties share the better rank
    assert (got["Screened"] == (got["Coverage"] >= 0.5)).all()
    assert got["Coverage"].between(0.0, 1.0).all()
    # The explanation shows the same coverage, made of its own Covered rows.
    ex = explain(table)
    per_method = ex.groupby(["Reservoir_ID", "ZeltMethod"], sort=False)
    np.testing.assert_allclose(per_method["Coverage"].first().to_numpy(), got["Coverage"].to_numpy())
    if pipeline is zelt.halvane_zelt:
        np.testing.assert_allclose(per_method["Covered"].mean().to_numpy(), got["Coverage"].to_numpy())
    else:
        weighted = (ex["Weighting"] * ex["Covered"]).groupby([ex.Reservoir_ID, ex.ZeltMethod], sort=False).sum()
        np.testing.assert_allclose((weighted / per_method["Weighting"].sum()).to_numpy(), got["Coverage"])


def test_summary_leaves_the_table_alone_and_handles_no_rows():
    table = random_table(5, seed=3)
    before = table.copy()
    zelt.summary_halvane_zelt(table)
    zelt.summary_uom_zelt(table)
    pd.testing.assert_frame_equal(table, before)
    for summary in (zelt.summary_halvane_zelt, zelt.summary_uom_zelt):
        empty = summary(table.iloc[:0])
        assert list(empty.columns) == SUMMARY_COLUMNS and empty.empty


def test_coverage_counts_reported_values_only():
    full = row(**{name: (lo + hi) / 2 for name, lo, hi in NUMERIC}, oil_viscosity_insitu_cp=5.0)
    table2 = pd.DataFrame([full, row()]).assign(resv_id=["full", "empty"])
    first = zelt.summary_halvane_zelt(table2).set_index(["Reservoir_ID", "ZeltMethod"])
    # Every column reported: all but the assumed dip (10/11); the gas methods'
    # pressure rows compare a correlation MMP (9/11).
    assert first.loc[("full", "Steam Flooding"), "Coverage"] == pytest.approx(10 / 11)
    # Without the in-situ viscosity, the live-oil viscosity is a correlation.
    dead_only = zelt.summary_halvane_zelt(table2.drop(columns="oil_viscosity_insitu_cp"))
    assert dead_only.loc[dead_only.ZeltMethod == "Steam Flooding", "Coverage"].iloc[0] == pytest.approx(9 / 11)
    assert first.loc[("full", "Horz. Misc. CO2"), "Coverage"] == pytest.approx(9 / 11)
    # Name-only rows: nothing rests on the table, nothing is screened.
    assert (first.loc["empty", "Coverage"] == 0.0).all() and not first.loc["empty", "Screened"].any()
    second = zelt.summary_uom_zelt(table2).set_index(["Reservoir_ID", "ZeltMethod"])
    assert (second.loc["full", "Coverage"] == 1.0).all()
    assert (second.loc["empty", "Coverage"] == 0.0).all() and not second.loc["empty", "Screened"].any()
    assert (second["Estimated Knock-out"] == "").all()
    # A measured MMP makes the pressure row rest on the table.
    measured = table2.assign(mmp_co2_psi=[2500.0, np.nan])
    with_mmp = zelt.summary_halvane_zelt(measured).set_index(["Reservoir_ID", "ZeltMethod"])
    assert with_mmp.loc[("full", "Horz. Misc. CO2"), "Coverage"] == pytest.approx(10 / 11)


def test_knock_outs_that_rest_on_estimates_are_named():
    # Schoonebeek (Netherlands, steam since 2011): 25 API, 160 cP, 2,600 ft,
    # only its gross thickness of 82 ft reported: net pay becomes 8.2 ft.
    schoonebeek = row(resv_id="schoonebeek", oil_density_max_val_deg_api=25.0, oil_viscosity_max_val_cp=160.0,
                      top_depth_feet=2600.0, gross_thickn_max_val_feet=82.0, permeab_avg_md=2000.0,
                      porosity_avg_pct=30.0, temp_max_val_deg_c=37.0, water_saturation_max_val_pct=20.0)
    # Jay (Florida, a nitrogen flood): deep light oil whose gravity is not in
    # the table, so the 30 API default stands in.
    jay = row(resv_id="jay", oil_viscosity_max_val_cp=0.2, top_depth_feet=15400.0, net_thickn_max_val_feet=95.0,
              permeab_avg_md=35.0, porosity_avg_pct=14.0, pressure_psi=7850.0, temp_max_val_deg_c=140.0,
              water_saturation_max_val_pct=13.0)
    # The same knock-out by a reported value is certain: nothing is named.
    thin = dict(schoonebeek, resv_id="thin", net_thickn_max_val_feet=8.2)
    got = zelt.summary_halvane_zelt(pd.DataFrame([schoonebeek, jay, thin])).set_index(["Reservoir_ID", "ZeltMethod"])
    assert got.loc[("schoonebeek", "Steam Flooding"), ["Score", "Estimated Knock-out"]].tolist() == [
        -1.0, "Net Pay Thickness"]
    for method in ("Horz. Misc. N2", "Vert. Misc. N2"):
        assert got.loc[("jay", method), "Score"] == -1.0
        assert "Oil Gravity" in got.loc[("jay", method), "Estimated Knock-out"].split(", ")
    assert got.loc[("thin", "Steam Flooding"), ["Score", "Estimated Knock-out"]].tolist() == [-1.0, ""]
    assert (got.loc[got.Score > -1.0, "Estimated Knock-out"] == "").all()


# ---------------------------------------------------------------- warnings

def warned(call, table):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(table)
    return result, [w for w in caught if issubclass(w.category, zelt.InputWarning)]


def test_input_warning_is_a_user_warning():
    assert issubclass(zelt.InputWarning, UserWarning)


@pytest.mark.parametrize("edit, column, says", [
    (lambda t: t.rename(columns={"oil_density_max_val_deg_api": "oil_gravity_api"}), "'oil_gravity_api'",
     "'oil_density_max_val_deg_api' was probably meant"),
    (lambda t: t.rename(columns={"temp_max_val_deg_c": "temp_max_val_deg_f"}), "'temp_max_val_deg_f'",
     "'temp_max_val_deg_c' was probably meant"),
    (lambda t: t.assign(temp_max_val_deg_c=t.temp_max_val_deg_c * 1.8 + 32 + 200), "'temp_max_val_deg_c'",
     "look like °F"),
    (lambda t: t.assign(porosity_avg_pct=t.porosity_avg_pct / 100), "'porosity_avg_pct'", "look like fractions"),
    (lambda t: t.assign(oil_density_max_val_deg_api=[80.0] + [30.0] * (len(t) - 1)),
     "'oil_density_max_val_deg_api'", "outside 5-70 °API"),
    (lambda t: t.assign(permeab_avg_md=-t.permeab_avg_md), "'permeab_avg_md'", "negative"),
], ids=["misspelt", "degF-name", "degF-values", "fractions", "gravity", "negative"])
def test_one_warning_per_problem_naming_the_column_and_rows(edit, column, says):
    table = edit(random_table(8, seed=5, missing=0.0, index=[f"r{k}" for k in range(8)]))
    for pipeline, summary, explain in PIPELINES:
        for call in (pipeline, summary, explain):
            quiet = table.copy()
            result, caught = warned(call, quiet)
            assert len(caught) == 1, (call.__name__, [str(w.message) for w in caught])
            text = str(caught[0].message)
            assert text.startswith(call.__name__ + ": column " + column) and says in text, text
    # The warning changes nothing: the same scores as with warnings as errors off.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        plain = zelt.halvane_zelt(table.copy())[0]
    pd.testing.assert_frame_equal(warned(zelt.halvane_zelt, table.copy())[0][0], plain)


def test_warning_rows_are_the_first_few_labels():
    table = random_table(10, seed=2, missing=0.0, index=list(range(100, 110)))
    table["salinity_max_val_ppm"] = -1.0
    _, caught = warned(zelt.halvane_zelt, table)
    assert len(caught) == 1 and "(rows 100, 101, 102 and 7 more)" in str(caught[0].message)


def test_plausible_tables_and_other_columns_raise_no_warning():
    table = random_table(30, seed=9).assign(applied_methods="steam", source="a paper", country="X",
                                            reservoir_name="R", basin="B")
    for pipeline, summary, explain in PIPELINES:
        for call in (pipeline, summary, explain):
            assert warned(call, table.copy())[1] == []


def test_a_missing_required_column_hints_at_its_misspelling():
    table = random_table(3, seed=1).rename(columns={"top_depth_feet": "top_depth_ft"})
    with pytest.raises(KeyError, match="'top_depth_feet' \\(is 'top_depth_ft' meant\\?\\)"):
        zelt.halvane_zelt(table)


# ------------------------------------------------------ values not finite

@pytest.mark.parametrize("column", [name for name, _, _ in NUMERIC])
@pytest.mark.parametrize("value", [math.inf, -math.inf, "inf"])
def test_infinite_values_are_refused_naming_column_row_and_value(column, value):
    table = random_table(4, seed=4, index=["a", "b", "c", "d"])
    table[column] = table[column].astype(object)
    table.loc["c", column] = value
    before = table.copy()
    funcs = [zelt.halvane_zelt, zelt.summary_halvane_zelt, zelt.explain_halvane_zelt]
    if column not in ("pressure_psi", "oil_recovery_pp_factor", "original_pressure_psi", "salinity_max_val_ppm"):
        funcs += [zelt.uom_zelt, zelt.summary_uom_zelt, zelt.explain_uom_zelt]
    shown = "inf" if value in (math.inf, "inf") else "-inf"
    for call in funcs:
        with pytest.raises(ValueError, match=f"column '{column}' holds {shown} at row 'c', which is not a finite"):
            call(table)
        pd.testing.assert_frame_equal(table, before)   # nothing changed, nothing partial


def test_overflow_in_the_temperature_conversion_is_refused():
    table = random_table(3, seed=4).assign(temp_max_val_deg_c=[20.0, 1e308, 30.0])
    for call in (zelt.halvane_zelt, zelt.uom_zelt, zelt.summary_halvane_zelt):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zelt.InputWarning)   # 1e308 is also above 200
            with pytest.raises(ValueError, match="holds 1e\\+308 at row 1, which overflows in the conversion"):
                call(table.copy())


def test_a_correlation_that_overflows_is_refused():
    table = pd.DataFrame([row(top_depth_feet=5000.0, porosity_avg_pct=1e300)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zelt.InputWarning)
        with pytest.raises(ValueError, match="row 0 give an infinite Average Vertical Permeability"):
            zelt.halvane_zelt(table)


def test_scores_stay_within_bounds_for_extreme_finite_values():
    rng = np.random.default_rng(8)
    table = random_table(30, seed=8, missing=0.2)
    for name, _, _ in NUMERIC:
        table.loc[rng.random(30) < 0.2, name] = rng.choice([1e-300, 1e6, 1e12, 0.0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zelt.InputWarning)
        for pipeline, _, _ in PIPELINES:
            scores = pipeline(table.copy())[0]["Score"]
            assert scores.between(-1.0, 1.0).all()


# -------------------------------------------------- surface temperature

def test_surface_temperature_starts_the_depth_estimate():
    rows = [row(resv_id="a", top_depth_feet=6561.68), row(resv_id="b", top_depth_feet=6561.68),
            row(resv_id="c", top_depth_feet=6561.68, temp_max_val_deg_c=90.0)]
    table = pd.DataFrame(rows).assign(surface_temp_deg_c=[np.nan, 15.0, 15.0])
    field = zelt.halvane_zelt(table.copy())[2]
    np.testing.assert_allclose(field["Reservoir Temperature"], [70.0 * 1.8 + 32, 85.0 * 1.8 + 32, 90.0 * 1.8 + 32])
    field_2019 = zelt.uom_zelt(table.copy())[3]
    np.testing.assert_allclose(field_2019["Reservoir Temperature"], field["Reservoir Temperature"])
    for explain in (zelt.explain_halvane_zelt, zelt.explain_uom_zelt):
        ex = explain(table)
        basis = ex[ex.ScreeningParam == "Reservoir Temperature"].groupby("Reservoir_ID")["Basis"].first()
        assert basis["a"] == "35 °C/km x depth, 0 °C at the surface"
        assert basis["b"] == "reported surface temperature + 35 °C/km x depth"
        assert basis["c"] == ""


# ------------------------------------------------------------ the MMP

def test_pressure_windows_never_cross_on_a_gravity_temperature_grid():
    grid = [row(resv_id=f"{api}/{t}", oil_density_max_val_deg_api=float(api), temp_max_val_deg_c=float(t),
                top_depth_feet=5000.0, pressure_psi=3000.0)
            for api in range(8, 56, 3) for t in range(15, 151, 15)]
    window = zelt.halvane_zelt(pd.DataFrame(grid))[3]
    assert (window.loc[window.Category == "Max", "Value"] >= 0.0).all()
    low = window.loc[window.Category == "Min", "Value"]
    assert (low <= 19000.0).all()
    explained = zelt.explain_halvane_zelt(pd.DataFrame(grid))
    assert (explained.loc[explained.ScreeningParam == "Current Reservoir Pressure", ["Min", "Max"]]
            .max().max() <= 30000.0)


# ----------------------------------------------------- Copy-on-Write

def cow_settings():
    """The Copy-on-Write settings this pandas has: off, and on where it has
    the option (pandas 1.5 and 2.x; pandas 3 has it always on)."""
    settings = [None]
    try:
        pd.get_option("mode.copy_on_write")
        settings.append(True)
    except (KeyError, pd.errors.OptionError):
        pass
    return settings


@pytest.mark.parametrize("cow", cow_settings())
@pytest.mark.parametrize("pipeline, numeric", [(zelt.halvane_zelt, "PRESSURE_PSI"), (zelt.uom_zelt, "PERMEAB_AVG_MD")])
def test_in_place_changes_reach_the_caller_under_copy_on_write(pipeline, numeric, cow):
    table = random_table(6, seed=6).rename(columns={"resv_id": "RESV_ID", numeric.lower(): numeric})
    table[numeric] = ["1000", 2000, None, 3000.5, "4e3", 5]
    context = pd.option_context("mode.copy_on_write", cow) if cow else warnings.catch_warnings()
    with context:
        with warnings.catch_warnings():
            warnings.simplefilter("error")   # no FutureWarning, DeprecationWarning or ChainedAssignmentError
            pipeline(table)
            assert "resv_id" in table.columns and numeric.lower() in table.columns
            assert table[numeric.lower()].dtype == np.float64
            assert table[numeric.lower()].tolist()[:2] == [1000.0, 2000.0]
            assert math.isnan(table[numeric.lower()].iloc[2])
            # A view of the caller's table taken before the call keeps its values.
            again = random_table(3, seed=7)
            view = again["porosity_avg_pct"]
            before = view.copy()
            pipeline(again)
            pd.testing.assert_series_equal(view, before)

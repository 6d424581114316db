"""Distances, normalisation bounds, parameter and method scores of the first
method; field data, p-values and weighted scores of the 2019 method."""
import math

import numpy as np
import pandas as pd
import pytest

import zelt
from reference_pipeline import METHODS, METHODS_2019, PARAMS, PARAMS_2019, nan_row

NAN = math.nan
INF = math.inf


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


def limits(lo=0.0, hi=100.0, stopper=0.0):
    return {p: {m: {"Min": lo, "Max": hi, "Stopper": stopper} for m in METHODS} for p in PARAMS}


def field(**values):
    fd = {"Reservoir_ID": "R"}
    fd.update({p: 50.0 for p in PARAMS})
    fd.update(values)
    return fd


MMPS = [{"Reservoir_ID": "R", "mmp_co2": 2000.0, "mmp_hc": 3000.0, "mmp_n2": 4000.0}]


def diff(fd, table=None, mmps=MMPS, idx=0):
    table = limits() if table is None else table
    return zelt.get_diff(idx, fd, mmps, table, METHODS, PARAMS)


# ------------------------------------------------------------ get_diff

@pytest.mark.parametrize("x, lo, hi, expected", [
    (5.0, 10.0, 20.0, 5.0),
    (25.5, 10.0, 20.0, 5.5),
    (10.0, 10.0, 20.0, NAN),
    (20.0, 10.0, 20.0, NAN),
    (15.0, 10.0, 20.0, NAN),
    (NAN, 10.0, 20.0, NAN),
    (5.0, NAN, 20.0, NAN),
    (25.0, 10.0, NAN, NAN),
    (5.0, NAN, 3.0, 2.0),
    (15.0, 20.0, 10.0, 5.0),   # lo > hi: the upper test wins
    (-3.0, -1.0, 4.0, 2.0),
])
def test_distance(x, lo, hi, expected):
    table = limits()
    table["Oil Gravity"]["CSS"].update(Min=lo, Max=hi)
    d = diff(field(**{"Oil Gravity": x}), table)["Oil Gravity"]["CSS"]
    assert is_nan(d) if math.isnan(expected) else d == expected


def test_difference_record_layout():
    fd = field(**{"Reservoir Depth": NAN, "Oil Gravity": 150.0})
    delta = diff(fd)
    assert list(delta) == PARAMS
    assert all(list(delta[p]) == METHODS for p in PARAMS)
    assert all(is_nan(v) for v in delta["Reservoir Depth"].values())
    assert all(delta["Oil Gravity"][m] == 50.0 for m in METHODS)
    sub = zelt.get_diff(0, fd, MMPS, limits(), ["ASP", "CSS"], ["Reservoir Dip", "Oil Gravity"])
    assert list(sub) == ["Reservoir Dip", "Oil Gravity"]
    assert list(sub["Oil Gravity"]) == ["ASP", "CSS"]


def test_pressure_limits_come_from_the_selected_mmp_record():
    mmps = MMPS + [{"Reservoir_ID": "S", "mmp_co2": 1500.0, "mmp_hc": 2500.0, "mmp_n2": 3500.0}]
    table = limits(lo=NAN, hi=NAN)
    delta = diff(field(**{"Current Reservoir Pressure": 3000.0}), table, mmps, idx=1)
    pressure = table["Current Reservoir Pressure"]
    for gas, value in (("CO2", 1500.0), ("HC", 2500.0), ("N2", 3500.0)):
        assert pressure["Horz. Misc. " + gas]["Min"] == value
        assert pressure["Vert. Misc. " + gas]["Min"] == value
        assert pressure["Vert. Immisc. " + gas]["Max"] == value
        assert is_nan(pressure["Horz. Misc. " + gas]["Max"])
    d = delta["Current Reservoir Pressure"]
    # Miscible methods need at least the MMP, immiscible ones at most.
    assert is_nan(d["Horz. Misc. CO2"]) and is_nan(d["Vert. Misc. HC"])
    assert d["Horz. Misc. N2"] == d["Vert. Misc. N2"] == 500.0
    assert d["Vert. Immisc. CO2"] == 1500.0 and d["Vert. Immisc. HC"] == 500.0
    assert is_nan(d["Vert. Immisc. N2"]) and is_nan(d["Steam Flooding"])


@pytest.mark.parametrize("viscosity, perm_min, salinity_max", [
    (10.0, 100.0, 3000.0), (55.0, 100.0, 3000.0), (100.0, 100.0, 3000.0),
    (100.5, 1000.0, 1000.0), (1000.0, 1000.0, 1000.0),
    (1000.5, 7.0, 123456.0), (9.9, 7.0, 123456.0), (NAN, 7.0, 123456.0),
])
def test_polymer_limits_from_viscosity(viscosity, perm_min, salinity_max):
    table = limits()
    table["Average Horizontal Permeability"]["Polymer Flooding"]["Min"] = 7.0
    table["Formation Salinity"]["Polymer Flooding"]["Max"] = 123456.0
    fd = field(**{"Oil Viscosity (in situ)": viscosity, "Average Horizontal Permeability": 1.0,
                  "Formation Salinity": 200000.0})
    delta = diff(fd, table)
    assert table["Average Horizontal Permeability"]["Polymer Flooding"]["Min"] == perm_min
    assert table["Formation Salinity"]["Polymer Flooding"]["Max"] == salinity_max
    assert delta["Average Horizontal Permeability"]["Polymer Flooding"] == perm_min - 1.0
    assert delta["Formation Salinity"]["Polymer Flooding"] == 200000.0 - salinity_max
    # Nothing else of the table moves.
    assert table["Average Horizontal Permeability"]["Polymer Flooding"]["Max"] == 100.0
    assert table["Average Horizontal Permeability"]["ASP"]["Min"] == 0.0


@pytest.mark.parametrize("temperature, asp_max", [(140.0, 200000.0), (20.0, 200000.0),
                                                  (140.1, 50000.0), (NAN, 50000.0)])
def test_asp_salinity_limit_from_temperature(temperature, asp_max):
    table = limits()
    delta = diff(field(**{"Reservoir Temperature": temperature, "Formation Salinity": 250000.0}), table)
    assert table["Formation Salinity"]["ASP"]["Max"] == asp_max
    assert delta["Formation Salinity"]["ASP"] == 250000.0 - asp_max
    assert table["Formation Salinity"]["ASP"]["Stopper"] == 0.0


def test_polymer_limits_carry_over_within_one_table():
    table = limits()
    first = field(**{"Oil Viscosity (in situ)": 50.0})
    second = field(**{"Oil Viscosity (in situ)": 5.0, "Average Horizontal Permeability": 40.0,
                      "Formation Salinity": 5000.0})
    diff(first, table)
    delta = diff(second, table)
    assert delta["Average Horizontal Permeability"]["Polymer Flooding"] == 60.0
    assert delta["Formation Salinity"]["Polymer Flooding"] == 2000.0
    fresh = diff(second)
    assert is_nan(fresh["Average Horizontal Permeability"]["Polymer Flooding"])


@pytest.mark.parametrize("case", ["idx", "mmp key", "field key", "method", "text limit"])
def test_get_diff_failures(case):
    fd, mmps, table, idx, error = field(), MMPS, limits(), 0, KeyError
    if case == "idx":
        idx, error = 1, IndexError
    elif case == "mmp key":
        mmps = [{"Reservoir_ID": "R", "mmp_co2": 1.0, "mmp_hc": 1.0}]
    elif case == "field key":
        del fd["Reservoir Dip"]
    elif case == "method":
        del table["Oil Gravity"]["SAGD"]
    else:
        table["Net Pay Thickness"]["CSS"]["Min"], error = "10", TypeError
    with pytest.raises(error):
        diff(fd, table, mmps, idx)


# ------------------------------------------------------------ get_min_max

def test_min_max_bounds():
    d1 = {"A": {"m1": 3.0, "m2": NAN}, "B": {"m1": NAN, "m2": NAN}, "C": {"m1": 2.0, "m2": 2.0}}
    d2 = {"A": {"m1": NAN, "m2": 0.5}, "B": {"m1": NAN, "m2": NAN}, "C": {"m1": NAN, "m2": NAN}}
    result = zelt.get_min_max([d1, d2], ["C", "A", "B"])
    assert list(result) == ["C", "A", "B"]
    assert result["A"] == {"Min": 0.5, "Max": 3.0}
    assert result["B"] == {"Min": INF, "Max": -INF}
    assert result["C"] == {"Min": 2.0, "Max": 2.0}
    assert list(result["A"]) == ["Min", "Max"]
    assert zelt.get_min_max([], ["A"]) == {"A": {"Min": INF, "Max": -INF}}


# ------------------------------------------------------------ get_screening_param_score

@pytest.mark.parametrize("d, lo, hi, expected", [
    (2.0, 2.0, 12.0, -1.0), (12.0, 2.0, 12.0, -10.0), (7.0, 2.0, 12.0, -5.5),
    (NAN, 2.0, 12.0, 10.0), (4.0, 4.0, 4.0, -5.0), (NAN, INF, -INF, 10.0),
])
def test_parameter_score(d, lo, hi, expected):
    diffs = [{"P": {"m": d, "n": NAN}}]
    scores = zelt.get_screening_param_score(diffs, {"P": {"Min": lo, "Max": hi}}, ["m", "n"], ["P"])
    assert scores == [{"P": {"m": expected, "n": 10.0}}]


def test_parameter_scores_share_bounds_over_methods_and_reservoirs():
    diffs = [{"P": {"m": 2.0, "n": NAN}}, {"P": {"m": NAN, "n": 12.0}}]
    bounds = zelt.get_min_max(diffs, ["P"])
    scores = zelt.get_screening_param_score(diffs, bounds, ["n", "m"], ["P"])
    assert scores == [{"P": {"n": 10.0, "m": -1.0}}, {"P": {"n": -10.0, "m": 10.0}}]
    assert list(scores[0]["P"]) == ["n", "m"]


# ------------------------------------------------------------ get_zelt_score

def score_records(n, changes=()):
    records = [{p: {m: 10.0 for m in METHODS} for p in PARAMS} for _ in range(n)]
    for r, p, m, value in changes:
        records[r][p][m] = value
    return records


def reservoirs(n, index=None):
    return pd.DataFrame({"resv_id": [f"id{k}" for k in range(n)],
                         "reservoir_unit_name": [f"name{k}" for k in range(n)]}, index=index)


@pytest.mark.parametrize("score, stopper, expected", [
    (None, 0.0, 1.0),
    (-10.0, 0.0, 0.8),
    (-1.0, 0.0, 0.9),
    (-5.0, 0.0, 0.9),
    (4.5, 0.0, 1.0),        # mapped 0.95: numpy's rounding gives 1.0
    (-5.0, 1.0, -1.0),
    (-5.0, NAN, -1.0),      # an empty Stopper cell counts as set
    (-1.0, 2.0, -1.0),
    (None, 1.0, 1.0),       # a stopper on a parameter that is inside does nothing
])
def test_method_score(score, stopper, expected):
    changes = [] if score is None else [(0, "Reservoir Depth", "SAGD", score)]
    table = limits()
    table["Reservoir Depth"]["SAGD"]["Stopper"] = stopper
    result = zelt.get_zelt_score(reservoirs(1), score_records(1, changes), table, METHODS, PARAMS)
    assert result[0]["SAGD"] == expected
    assert all(result[0][m] == 1.0 for m in METHODS if m != "SAGD")


def test_method_score_records():
    changes = [(1, "Oil Gravity", "ASP", -10.0), (1, "Reservoir Dip", "ASP", -10.0)]
    result = zelt.get_zelt_score(reservoirs(2), score_records(2, changes), limits(), METHODS, PARAMS)
    assert [list(r) for r in result] == [["Reservoir_ID", "Reservoir"] + METHODS] * 2
    assert [(r["Reservoir_ID"], r["Reservoir"]) for r in result] == [("id0", "name0"), ("id1", "name1")]
    assert result[1]["ASP"] == 0.6 and result[0]["ASP"] == 1.0
    # The row's index label picks the record.
    swapped = zelt.get_zelt_score(reservoirs(2, index=[1, 0]), score_records(2, changes),
                                  limits(), METHODS, PARAMS)
    assert swapped[0]["ASP"] == 0.6 and swapped[1]["ASP"] == 1.0
    with pytest.raises(IndexError):
        zelt.get_zelt_score(reservoirs(2, index=[0, 2]), score_records(2), limits(), METHODS, PARAMS)
    with pytest.raises(KeyError):
        zelt.get_zelt_score(reservoirs(1).drop(columns="reservoir_unit_name"), score_records(1),
                            limits(), METHODS, PARAMS)
    table = limits()
    del table["Reservoir Dip"]["CSS"]["Stopper"]
    with pytest.raises(KeyError):
        zelt.get_zelt_score(reservoirs(1), score_records(1), table, METHODS, PARAMS)


# ------------------------------------------------------------ 2019 field data

KEYS_2019 = ["Reservoir_ID"] + PARAMS_2019


def test_field_data_2019_of_an_all_nan_row():
    fd = zelt.get_field_data_2019(5, nan_row(resv_id=99))
    assert list(fd) == KEYS_2019 and fd["Reservoir_ID"] == 99
    expected = {"Porosity": 20.0, "Permeability": 1.0, "Depth": 6400.0, "Oil Gravity": 30.0,
                "Oil Viscosity (in situ)": 8.9004, "Reservoir Temperature": 154.8954,
                "Current Oil Saturation": 50.0, "Net Pay Thickness": 50.0}
    for key, value in expected.items():
        assert fd[key] == pytest.approx(value, abs=5e-5), key


@pytest.mark.parametrize("given, key, expected", [
    ({"gross_thickn_max_val_feet": 300.0}, "Net Pay Thickness", 30.0),
    ({"gross_thickn_max_val_feet": 300.0, "net_thickn_max_val_feet": 12.0}, "Net Pay Thickness", 12.0),
    ({"porosity_avg_pct": 25.0}, "Permeability", 10.0 ** 2.5),
    ({"porosity_avg_pct": 25.0}, "Porosity", 25.0),
    ({"porosity_avg_pct": 25.0, "permeab_avg_md": 3.0}, "Permeability", 3.0),
    ({"top_depth_feet": 3280.84}, "Reservoir Temperature", 95.0),
    ({"temp_max_val_deg_c": 100.0}, "Reservoir Temperature", 212.0),
    ({"water_saturation_max_val_pct": 30.0, "oil_recovery_pp_factor": 25.0},
     "Current Oil Saturation", 70.0),
    ({"top_depth_feet": 1234.0}, "Depth", 1234.0),
])
def test_field_data_2019_values(given, key, expected):
    assert zelt.get_field_data_2019(0, nan_row(**given))[key] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("column", ["resv_id", "porosity_avg_pct", "permeab_avg_md", "top_depth_feet",
                                    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp",
                                    "temp_max_val_deg_c", "water_saturation_max_val_pct",
                                    "gross_thickn_max_val_feet", "net_thickn_max_val_feet"])
def test_field_data_2019_missing_column(column):
    row = nan_row()
    del row[column]
    with pytest.raises(KeyError) as info:
        zelt.get_field_data_2019(0, row)
    assert info.value.args[0] == column


# ------------------------------------------------------------ p_value

@pytest.mark.parametrize("param, lower, lo, hi, upper, expected", [
    (20.0, 5, 10, 40, 100, 1.0), (10.0, 5, 10, 40, 100, 1.0), (40.0, 5, 10, 40, 100, 1.0),
    (7.5, 5, 10, 40, 100, 0.0), (5.0, 5, 10, 40, 100, -1.0), (4.0, 5, 10, 40, 100, -1.0),
    (70.0, 5, 10, 40, 100, 0.0), (100.0, 5, 10, 40, 100, -1.0), (101.0, 5, 10, 40, 100, -1.0),
    (5.0, 0.01, 10, 40, 100, 1.0), (0.001, 0.01, 10, 40, 100, -1.0),
    (500.0, 5, 10, 40, 100000.0, 1.0), (200000.0, 5, 10, 40, 100000.0, -1.0),
    (NAN, 5, 10, 40, 100, -1.0), (7.5, NAN, 10, 40, 100, -1.0), (20.0, NAN, 10, 40, NAN, 1.0),
    (20.0, 5, NAN, 40, 100, -1.0),
])
def test_p_value(param, lower, lo, hi, upper, expected):
    assert zelt.p_value(param, lower, lo, hi, upper) == expected


# ------------------------------------------------------------ get_zelt_score_2019

def limits_2019(weight=1.0):
    f = np.float64
    return {p: {m: {"Lower": f(0.0), "Min": f(10.0), "Max": f(40.0), "Upper": f(100.0),
                    "Weighting": f(weight)} for m in METHODS_2019} for p in PARAMS_2019}


def field_2019(rid="R", **values):
    fd = {"Reservoir_ID": rid}
    fd.update({p: 20.0 for p in PARAMS_2019})
    fd.update(values)
    return fd


def test_weighted_score_rounds_half_to_even():
    table = limits_2019(0.0)
    for p, w in zip(PARAMS_2019[:3], (1.0, 1.0, 2.0)):
        table[p]["Hot Water"]["Weighting"] = np.float64(w)
    fd = field_2019(**{"Porosity": 20.0, "Permeability": 200.0, "Depth": 55.0})
    with pytest.warns(RuntimeWarning):   # the other methods weigh nothing: 0/0
        scores, p_values = zelt.get_zelt_score_2019(reservoirs(1), [fd], table, METHODS_2019, PARAMS_2019)
    assert scores[0]["Hot Water"] == 0.2
    assert [p_values[2][p] for p in PARAMS_2019[:3]] == [1.0, -1.0, 0.5]
    assert all(is_nan(scores[0][m]) for m in METHODS_2019 if m != "Hot Water")


def test_scores_and_p_value_records_2019():
    fds = [field_2019("a"), field_2019("b", **{"Depth": 70.0, "Porosity": 5.0})]
    scores, p_values = zelt.get_zelt_score_2019(reservoirs(2), fds, limits_2019(), METHODS_2019,
                                                PARAMS_2019)
    assert [list(s) for s in scores] == [["Reservoir_ID", "Reservoir"] + METHODS_2019] * 2
    assert scores[0]["Reservoir_ID"] == "id0" and scores[1]["Reservoir"] == "name1"
    assert len(p_values) == 24
    assert [list(r) for r in p_values] == [["ZeltMethod"] + PARAMS_2019] * 24
    assert [r["ZeltMethod"] for r in p_values] == METHODS_2019 * 2
    assert all(r["Depth"] == 1.0 for r in p_values[:12]) and all(r["Depth"] == 0.0 for r in p_values[12:])
    # Weighted mean of six 1.0 and two 0.0 values: 0.75, rounded to 0.8.
    assert all(scores[0][m] == 1.0 for m in METHODS_2019)
    assert all(scores[1][m] == 0.8 for m in METHODS_2019)


def test_score_2019_uses_the_index_label():
    fds = [field_2019("a"), field_2019("b", **{"Depth": 500.0})]
    scores, _ = zelt.get_zelt_score_2019(reservoirs(2, index=[1, 0]), fds, limits_2019(),
                                         METHODS_2019, PARAMS_2019)
    assert scores[0]["Reservoir_ID"] == "id0" and scores[0]["Steam Flooding"] == 0.8
    assert scores[1]["Steam Flooding"] == 1.0
    with pytest.raises(IndexError):
        zelt.get_zelt_score_2019(reservoirs(2, index=[0, 2]), fds, limits_2019(), METHODS_2019,
                                 PARAMS_2019)


@pytest.mark.parametrize("case", ["name column", "limit key", "pair", "field key"])
def test_score_2019_key_errors(case):
    edin, fds, table = reservoirs(1), [field_2019()], limits_2019()
    if case == "name column":
        edin = edin.drop(columns="reservoir_unit_name")
    elif case == "limit key":
        del table["Depth"]["Microbial"]["Weighting"]
    elif case == "pair":
        del table["Depth"]["Microbial"]
    else:
        del fds[0]["Depth"]
    with pytest.raises(KeyError):
        zelt.get_zelt_score_2019(edin, fds, table, METHODS_2019, PARAMS_2019)

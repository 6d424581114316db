"""Every public function and both pipelines called many times, with valid and
with failing arguments: the process's current RSS stops growing, and no
argument (nor anything inside it) gains or loses a reference.

`make test` makes a few thousand calls of each; ZELT_LONG=1 (`make test-long`)
many more. Under the sanitizer build the RSS bound is not checked (ASan keeps
freed memory in quarantine); the reference counts are.
"""
import gc
import math
import os
import sys

import numpy as np
import pandas as pd
import pytest

import zelt
from reference_pipeline import (METHODS, METHODS_2019, PARAMS, PARAMS_2019, nan_row, nested_table,
                                nested_table_2019, random_reservoirs, read_table, read_table_2019)

LONG = os.environ.get("ZELT_LONG") == "1"
ROUNDS = 10 if LONG else 4          # RSS is read after each round
SCALAR_CALLS = 10000 if LONG else 1500   # calls per round
TABLE_CALLS = 400 if LONG else 40
PIPELINE_CALLS = 150 if LONG else 10
SLACK_MB = 1.0


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_asan():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def tracked(obj, depth=2):
    """The argument and what it holds (dict values, sequence items, the
    objects of a table's or row's object columns), as far as depth; objects
    the interpreter shares everywhere are left out."""
    out = []
    if obj is None or isinstance(obj, bool) or (type(obj) is int and -5 <= obj <= 256):
        return out
    if type(obj) is str and sys.intern(obj) is obj:
        return out      # an interned name ("method"): any code's references move its count
    out.append(obj)
    if depth == 0:
        return out
    if isinstance(obj, dict):
        inner = list(obj.values())
    elif isinstance(obj, (list, tuple)):
        inner = list(obj)
    elif isinstance(obj, pd.DataFrame):
        inner = [v for c in range(obj.shape[1]) if obj.dtypes.iloc[c] == object
                 for v in obj.iloc[:, c].to_numpy()]
    elif isinstance(obj, pd.Series) and obj.dtype == object:
        inner = list(obj.to_numpy())
    else:
        inner = []
    for v in inner:
        out.extend(tracked(v, depth - 1))
    return out


def unique(text):
    """A string object of its own (literals are shared and interned)."""
    return "".join(list(text))


def row(**values):
    return pd.Series(nan_row(**values), dtype=object)


def edin(n=5, seed=9):
    return random_reservoirs(n, seed=seed, nan_frac=0.3)


def table_2019():
    return read_table_2019(zelt.get_filepath("screening_table_2019.csv"))


def first_case_args():
    table = nested_table(read_table(zelt.get_filepath("screening_table.csv")))
    field = zelt.get_field_data(0, row(top_depth_feet=6000.0, oil_density_max_val_deg_api=33.0))
    mmps = [zelt.get_mmp(0, row(), field)]
    diff = zelt.get_diff(0, field, mmps, table, METHODS, PARAMS)
    return table, field, mmps, diff


def bad_limits():
    table = first_case_args()[0]
    table["Reservoir Dip"]["SAGD"]["Max"] = "steep"
    return table


def text_cell_edin():
    e = edin()
    e["pressure_psi"] = e["pressure_psi"].astype(object)
    e.loc[3, "pressure_psi"] = "4,760"  # fails before the table changes
    return e


def case_clash_edin():
    e = edin()
    e["RESV_ID"] = e["resv_id"]
    return e


def projects_table():
    """Field projects with every label known and every row usable (no warnings)."""
    p = random_reservoirs(12, seed=4, nan_frac=0.0)
    p["method"] = ["Steam", "CO2 miscible", "Polymer", "Gel"] * 3
    p["outcome"] = [unique("successful")] * 12
    p["field"] = [unique(f"F{i % 5}") for i in range(12)]
    return p


# name -> (arguments, expected exception or None); each builds its
# arguments once, and every call reuses the same objects.
CASES = {
    "get_filepath": lambda: ([unique("screening_table.csv")], None),
    "get_filepath/fails": lambda: ([3.5], TypeError),
    "get_field_data": lambda: ([np.int64(0), row(top_depth_feet=5000.0)], None),
    "get_field_data/fails": lambda: ([np.int64(0), row().drop("gas_reserve_date_qual")], KeyError),
    "get_mmp": lambda: ([np.int64(0), row(), {"Oil Gravity": 33.0, "Reservoir Temperature": 160.0}], None),
    "get_mmp/fails": lambda: ([np.int64(0), row(), {"Oil Gravity": 33.0}], KeyError),
    "mmp": lambda: ([33.5, 160.5, unique("n2")], None),
    "mmp/fails": lambda: ([[33.5], 160.5, unique("co2")], TypeError),
    "oil_solubility_parameter": lambda: ([300.5, 100.5], None),
    "oil_solubility_parameter/fails": lambda: ([unique("heavy"), 100.5], TypeError),
    "gas_solubility_parameter": lambda: ([[0.8, 0.2], [3.5, 9.5], np.array([7.1, 8.2]), [667.2, 551.1]], None),
    "gas_solubility_parameter/fails": lambda: ([[0.8, 0.2], [3.5], np.array([7.1, 8.2]), [667.2, 551.1]],
                                               IndexError),
    "desity_calc": lambda: ([3000.5, 659.67, 1069.865, 547.54, 44.01, 0.225], None),
    "desity_calc/fails": lambda: ([3000.5, 659.67, None, 547.54, 44.01, 0.225], TypeError),
    "cubic_equation_solution": lambda: ([-6.5, 11.5, -6.5], None),
    "cubic_equation_solution/fails": lambda: ([-6.5, 11.5, {"a": 1.5}], TypeError),
    "get_diff": lambda: ([np.int64(0)] + list(first_case_args()[1:3]) + [first_case_args()[0], METHODS, PARAMS],
                         None),
    "get_diff/fails": lambda: ([np.int64(0)] + list(first_case_args()[1:3]) + [bad_limits(), METHODS, PARAMS],
                               TypeError),
    "get_min_max": lambda: ([[first_case_args()[3]] * 3, PARAMS], None),
    "get_min_max/fails": lambda: ([[{"Oil Gravity": {}}], PARAMS], KeyError),
    "get_screening_param_score": lambda: ([[first_case_args()[3]],
                                           zelt.get_min_max([first_case_args()[3]], PARAMS), METHODS, PARAMS],
                                          None),
    "get_screening_param_score/fails": lambda: ([[first_case_args()[3]], {p: {"Min": 1.5} for p in PARAMS},
                                                 METHODS, PARAMS], KeyError),
    "get_zelt_score": lambda: ([edin(2), [{p: {m: 10.0 for m in METHODS} for p in PARAMS}] * 2,
                                first_case_args()[0], METHODS, PARAMS], None),
    "get_zelt_score/fails": lambda: ([edin(2), [{p: {m: 10.0 for m in METHODS} for p in PARAMS}],
                                      first_case_args()[0], METHODS, PARAMS], IndexError),
    "fix_screening_table_for_spotfire": lambda: ([read_table(zelt.get_filepath("screening_table.csv"))], None),
    "fix_screening_table_for_spotfire/fails": lambda: (
        [read_table(zelt.get_filepath("screening_table.csv")).drop(columns="Max")], KeyError),
    "get_field_data_2019": lambda: ([np.int64(0), row(porosity_avg_pct=25.5)], None),
    "get_field_data_2019/fails": lambda: ([np.int64(0), row().drop("permeab_avg_md")], KeyError),
    "get_zelt_score_2019": lambda: ([edin(2), [{"Reservoir_ID": 1, **{p: 20.5 for p in PARAMS_2019}}] * 2,
                                     nested_table_2019(table_2019()), METHODS_2019, PARAMS_2019], None),
    "get_zelt_score_2019/fails": lambda: ([edin(2), [{"Reservoir_ID": 1, **{p: 20.5 for p in PARAMS_2019}}] * 2,
                                           {p: {m: {"Lower": 1.5} for m in METHODS_2019} for p in PARAMS_2019},
                                           METHODS_2019, PARAMS_2019], KeyError),
    "p_value": lambda: ([20.5, 5.5, 10.5, 40.5, 100.5], None),
    "p_value/fails": lambda: ([unique("deep"), 5.5, 10.5, 40.5, 100.5], TypeError),
    "fix_screening_table_2019_for_spotfire": lambda: ([table_2019()], None),
    "fix_screening_table_2019_for_spotfire/fails": lambda: ([table_2019().drop(columns="Upper")], KeyError),
    "halvane_zelt": lambda: ([edin()], None),
    "halvane_zelt/fails": lambda: ([text_cell_edin()], ValueError),
    "halvane_zelt/missing-column": lambda: ([edin().drop(columns="top_depth_feet")], KeyError),
    "halvane_zelt/optional-columns-absent": lambda: ([edin().drop(columns=["pressure_psi", "gas_reserve_date_qual"])],
                                                     None),
    "uom_zelt": lambda: ([edin()], None),
    "uom_zelt/fails": lambda: ([case_clash_edin()], ValueError),
    "uom_zelt/text-value": lambda: ([edin().assign(top_depth_feet="deep")], ValueError),
    "explain_halvane_zelt": lambda: ([edin().assign(mmp_co2_psi=2500.0)], None),
    "explain_halvane_zelt/fails": lambda: ([text_cell_edin()], ValueError),
    "explain_uom_zelt": lambda: ([edin().assign(oil_viscosity_insitu_cp=35.0)], None),
    "explain_uom_zelt/fails": lambda: ([case_clash_edin()], ValueError),
    "rank_by_analogs": lambda: ([edin(), projects_table(), 3, "method", "outcome", {"Gel": "chemical"}, 3], None),
    "rank_by_analogs/fails": lambda: ([edin(), projects_table().astype({"porosity_avg_pct": object})
                                       .assign(porosity_avg_pct=unique("high")), 3], ValueError),
    "evaluate_analogs": lambda: ([projects_table(), 3, "method", "field", {"Gel": "chemical"}, 3, False], None),
    "evaluate_analogs/fails": lambda: ([projects_table().drop(columns="method")], KeyError),
    "summary_halvane_zelt": lambda: ([edin().assign(mmp_co2_psi=2500.0)], None),
    "summary_halvane_zelt/fails": lambda: ([edin().assign(pressure_psi=float("inf"))], ValueError),
    "summary_uom_zelt": lambda: ([edin().assign(surface_temp_deg_c=12.0)], None),
    "summary_uom_zelt/fails": lambda: ([case_clash_edin()], ValueError),
}

CALLS = {name: (PIPELINE_CALLS if name.split("/")[0] in ("halvane_zelt", "uom_zelt", "explain_halvane_zelt",
                                                         "explain_uom_zelt", "summary_halvane_zelt",
                                                         "summary_uom_zelt", "rank_by_analogs",
                                                         "evaluate_analogs") else
                TABLE_CALLS if name.split("/")[0] in ("get_zelt_score", "get_zelt_score_2019", "get_diff",
                                                      "get_screening_param_score", "get_min_max")
                or name.startswith("fix_") else SCALAR_CALLS)
         for name in CASES}


def test_every_public_function_is_covered():
    public = [n for n in dir(zelt) if callable(getattr(zelt, n)) and not n.startswith("_")
              and not isinstance(getattr(zelt, n), type)]   # InputWarning is a class, not a function
    missing = {n for n in public if n not in CASES or n + "/fails" not in CASES}
    assert not missing


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leak_nothing(name):
    args, error = CASES[name]()
    function = getattr(zelt, name.split("/")[0])

    def call():
        try:
            function(*args)
        except Exception as e:
            if error is None or not isinstance(e, error):
                raise
        else:
            assert error is None, f"{name} did not raise {error.__name__}"

    calls = CALLS[name]
    for _ in range(calls):          # warm-up: caches, pools and in-place changes settle
        call()
    gc.collect()
    objects = [o for a in args for o in tracked(a)]
    before = [sys.getrefcount(o) for o in objects]
    sizes = []
    for _ in range(ROUNDS):
        for _ in range(calls):
            call()
        gc.collect()
        sizes.append(rss_bytes())
    after = [sys.getrefcount(o) for o in objects]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, f"{name}: reference counts changed after {ROUNDS * calls} calls: {changed[:5]}"
    grown = (sizes[-1] - sizes[0]) / 2 ** 20
    print(f"{name}: {ROUNDS * calls + calls} calls, RSS {sizes[0] / 2 ** 20:.1f} -> "
          f"{sizes[-1] / 2 ** 20:.1f} MB")
    if not under_asan():
        assert grown <= SLACK_MB, (f"{name}: RSS grew {grown:.2f} MB over the last "
                                   f"{(ROUNDS - 1) * calls} calls ({[s >> 20 for s in sizes]} MB)")

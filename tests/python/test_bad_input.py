"""Wrong types and shapes into every function: clean Python exceptions, never
a crash; and no memory growth over many calls of the busy functions."""
import gc
import math
import os

import numpy as np
import pandas as pd
import pytest

import zelt
from reference_pipeline import (METHODS, METHODS_2019, PARAMS, PARAMS_2019, nan_row,
                                random_reservoirs, read_table, read_table_2019)

# AttributeError too: a table or record of the wrong kind (None for a table,
# a list for a mapping) may fail on a missing method, as it would in Python.
CLEAN_ERRORS = (TypeError, KeyError, IndexError, ValueError, OverflowError, AttributeError)
GARBAGE = [None, "text", b"bytes", [], [1.0], (1.0, 2.0), {}, {"a": 1}, [[None]], {"x": [None]},
           10 ** 400, -10 ** 400, math.inf, -math.inf, math.nan, object(), np.array([1.0, 2.0]),
           pd.Series([1.0]), pd.DataFrame({"a": [1.0]})]


def first_field():
    return {"Reservoir_ID": "R", **{p: 50.0 for p in PARAMS}}


def first_limits():
    return {p: {m: {"Min": 0.0, "Max": 100.0, "Stopper": 1.0} for m in METHODS} for p in PARAMS}


def limits_2019():
    return {p: {m: {"Lower": 0.0, "Min": 10.0, "Max": 40.0, "Upper": 100.0, "Weighting": 1.0}
                for m in METHODS_2019} for p in PARAMS_2019}


def edin(n=2):
    return random_reservoirs(n, seed=9, nan_frac=0.3)


def delta():
    return {p: {m: (7.0 if m == "CSS" else math.nan) for m in METHODS} for p in PARAMS}


VALID = {
    "get_filepath": lambda: ["x.csv"],
    "get_field_data": lambda: [0, nan_row(top_depth_feet=5000.0)],
    "get_mmp": lambda: [0, {"resv_id": 1}, {"Oil Gravity": 30.0, "Reservoir Temperature": 150.0}],
    "mmp": lambda: [30.0, 150.0, "co2"],
    "oil_solubility_parameter": lambda: [300.0, 100.0],
    "gas_solubility_parameter": lambda: [[0.8, 0.2], [3.0, 9.0], np.array([7.1, 8.2]), [667.2, 551.1]],
    "desity_calc": lambda: [3000.0, 659.67, 1069.865, 547.54, 44.01, 0.225],
    "cubic_equation_solution": lambda: [-6.0, 11.0, -6.0],
    "get_diff": lambda: [0, first_field(), [{"mmp_co2": 1.0, "mmp_hc": 2.0, "mmp_n2": 3.0}],
                         first_limits(), METHODS, PARAMS],
    "get_min_max": lambda: [[delta(), delta()], PARAMS],
    "get_screening_param_score": lambda: [[delta()], {p: {"Min": 1.0, "Max": 9.0} for p in PARAMS},
                                          METHODS, PARAMS],
    "get_zelt_score": lambda: [edin(1), [{p: {m: 10.0 for m in METHODS} for p in PARAMS}],
                               first_limits(), METHODS, PARAMS],
    "halvane_zelt": lambda: [edin()],
    "fix_screening_table_for_spotfire": lambda: [read_table(zelt.get_filepath("screening_table.csv"))],
    "get_field_data_2019": lambda: [0, nan_row()],
    "get_zelt_score_2019": lambda: [edin(1), [{"Reservoir_ID": 1, **{p: 20.0 for p in PARAMS_2019}}],
                                    limits_2019(), METHODS_2019, PARAMS_2019],
    "p_value": lambda: [20.0, 5.0, 10.0, 40.0, 100.0],
    "uom_zelt": lambda: [edin()],
    "fix_screening_table_2019_for_spotfire":
        lambda: [read_table_2019(zelt.get_filepath("screening_table_2019.csv"))],
    "explain_halvane_zelt": lambda: [edin()],
    "explain_uom_zelt": lambda: [edin()],
}


def inner_mutations(value):
    """Versions of a container argument with one inner element spoiled."""
    if isinstance(value, dict) and value:
        keys = list(value)
        for key in {keys[0], keys[-1]}:
            for bad in (None, "text", [None], 10 ** 400):
                yield {**value, key: bad}
            for inner in inner_mutations(value[key]):
                yield {**value, key: inner}
        yield dict(list(value.items())[:-1])
    elif isinstance(value, list) and value:
        yield value[:-1]
        for bad in (None, "text", {"a": None}):
            yield [bad] + value[1:]
        if isinstance(value[0], dict):
            for inner in inner_mutations(value[0]):
                yield [inner] + value[1:]


def call(name, args):
    try:
        getattr(zelt, name)(*args)
    except CLEAN_ERRORS:
        pass


# Warnings are not the subject here (0/0 weights, numpy's comparison of an
# array with a gas name).
@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", list(VALID))
def test_garbage_arguments_give_clean_errors(name):
    call(name, VALID[name]())       # the valid call itself runs
    for position in range(len(VALID[name]())):
        for bad in GARBAGE:
            args = VALID[name]()
            args[position] = bad
            call(name, args)
        for spoiled in list(inner_mutations(VALID[name]()[position])):
            args = VALID[name]()
            args[position] = spoiled
            call(name, args)
    assert zelt.p_value(20.0, 5.0, 10.0, 40.0, 100.0) == 1.0


# p_value only compares, so a huge int is a number to it like any other; its
# tests short-circuit, so with a value inside [min_val, max_val] the outer
# limits are never looked at.
@pytest.mark.parametrize("name, bad, error", [
    (name, bad, error)
    for name in ["mmp", "oil_solubility_parameter", "desity_calc", "cubic_equation_solution",
                 "p_value"]
    for bad, error in [(None, TypeError), ("1.0", TypeError), ([1.0], TypeError),
                       (10 ** 400, OverflowError)]
    if not (name == "p_value" and error is OverflowError)])
def test_scalar_arguments_must_be_numbers(name, bad, error):
    args = VALID[name]()
    positions = {"mmp": [0, 1], "p_value": [0, 2, 3]}.get(name, range(len(args)))
    for position in positions:
        spoiled = list(args)
        spoiled[position] = bad
        with pytest.raises(error):
            getattr(zelt, name)(*spoiled)


@pytest.mark.parametrize("case", ["field value", "limit", "weight", "mmp", "score", "comp"])
def test_non_numbers_inside_records_are_type_errors(case):
    if case == "field value":
        args = VALID["get_diff"]()
        args[1]["Net Pay Thickness"] = None
        func = zelt.get_diff
    elif case == "limit":
        args = VALID["get_diff"]()
        args[3]["Reservoir Dip"]["SAGD"]["Max"] = [1.0]
        func = zelt.get_diff
    elif case == "weight":
        args = VALID["get_zelt_score_2019"]()
        args[2]["Depth"]["Combustion"]["Weighting"] = "heavy"
        func = zelt.get_zelt_score_2019
    elif case == "mmp":
        args = VALID["get_diff"]()
        args[2][0]["mmp_hc"] = "high"
        func = zelt.get_diff
    elif case == "score":
        args = VALID["get_min_max"]()
        args[0][1]["Oil Gravity"]["ASP"] = None
        func = zelt.get_min_max
    else:
        args = VALID["gas_solubility_parameter"]()
        args[0] = [0.8, "0.2"]
        func = zelt.gas_solubility_parameter
    with pytest.raises(TypeError):
        func(*args)


# ------------------------------------------------------------ memory

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


SMALL = random_reservoirs(5, seed=3)
ROW = pd.Series(nan_row(top_depth_feet=4000.0, oil_density_max_val_deg_api=33.0), dtype=object)


@pytest.mark.slow
@pytest.mark.parametrize("name, func, rounds, slack_mb", [
    ("mmp", lambda: zelt.mmp(33.0, 160.0, "n2"), 60000, 2),
    ("get_field_data", lambda: zelt.get_field_data(0, ROW), 20000, 3),
    ("get_diff", lambda: zelt.get_diff(*VALID["get_diff"]()), 1500, 3),
    ("halvane_zelt", lambda: zelt.halvane_zelt(SMALL.copy()), 100, 6),
    ("uom_zelt", lambda: zelt.uom_zelt(SMALL.copy()), 100, 6),
])
def test_memory_does_not_grow(name, func, rounds, slack_mb):
    for _ in range(rounds // 2):
        func()
    gc.collect()
    start = rss()
    for _ in range(3 * rounds):
        func()
    gc.collect()
    grown = (rss() - start) / 2 ** 20
    assert grown < slack_mb, f"{name}: {grown:.1f} MB more after {3 * rounds} calls"

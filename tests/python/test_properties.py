"""Generated tables through both pipelines: their tables equal the step
functions' composition, and a reservoir's results do not depend on the other
reservoirs of the call (the 2019 method) or only through the normalisation
of distances over all reservoirs (the first method).

`make test` runs a modest number of examples; ZELT_LONG=1 (`make test-long`)
many more.
"""
import copy
import math
import os
import warnings

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zelt
from reference_pipeline import (METHODS, METHODS_2019, PARAMS, PARAMS_2019, REQUIRED,
                                halvane_reference, nested_table, random_reservoirs, read_table,
                                uom_reference)

settings.register_profile("short", max_examples=50, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("long", max_examples=600, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PROFILE = "long" if os.environ.get("ZELT_LONG") == "1" else "short"
MAX_ROWS = 40 if PROFILE == "long" else 12

# Plausible ranges of the numeric columns; values outside them, NaN,
# infinities and extremes are drawn too.
RANGES = {
    "oil_density_max_val_deg_api": (5.0, 70.0), "oil_viscosity_max_val_cp": (0.1, 1e5),
    "top_depth_feet": (0.0, 20000.0), "net_thickn_max_val_feet": (0.0, 500.0),
    "gross_thickn_max_val_feet": (0.0, 3000.0), "permeab_avg_md": (0.0, 1e4),
    "porosity_avg_pct": (0.0, 45.0), "oil_recovery_pp_factor": (0.0, 80.0),
    "pressure_psi": (0.0, 12000.0), "temp_max_val_deg_c": (0.0, 250.0),
    "water_saturation_max_val_pct": (0.0, 100.0), "original_pressure_psi": (0.0, 12000.0),
    "salinity_max_val_ppm": (0.0, 3e5),
}
# The optional columns, drawn into some tables.
OPTIONAL_RANGES = {"oil_viscosity_insitu_cp": (0.1, 1e5), "mmp_co2_psi": (500.0, 6000.0),
                   "mmp_hc_psi": (1000.0, 12000.0), "mmp_n2_psi": (2000.0, 20000.0)}
TEXT_NAMES = ["Alpha", "alpha", "Bravo Unit", "Ærø Sand", "", "Zulu"]


def cells(column):
    lo, hi = {**RANGES, **OPTIONAL_RANGES}[column]
    plausible = st.floats(lo, hi)
    return st.one_of(plausible, plausible, plausible, st.just(math.nan), st.floats())


@st.composite
def small_table(draw, min_rows):
    """A table of a few rows, every cell drawn."""
    n = draw(st.integers(min_rows, MAX_ROWS))
    name_kind = draw(st.sampled_from(["text", "text", "numbers", "mixed"]))
    text = st.sampled_from(TEXT_NAMES)
    missing = st.sampled_from([math.nan, None])
    numbers = st.integers(0, 3)
    names = {"text": st.one_of(text, text, text, missing), "numbers": st.one_of(numbers, missing),
             "mixed": st.one_of(text, numbers, missing)}[name_kind]
    order = draw(st.permutations(range(n)))
    id_kind = draw(st.sampled_from(["text", "int", "mixed"]))
    ids = [f"R{k}" if id_kind == "text" or (id_kind == "mixed" and k % 2) else 100 + k for k in order]
    table = {"resv_id": ids, "reservoir_unit_name": draw(st.lists(names, min_size=n, max_size=n)),
             "gas_reserve_date_qual": draw(st.lists(st.sampled_from(["A", "", math.nan]),
                                                    min_size=n, max_size=n))}
    for column in RANGES:
        table[column] = draw(st.lists(cells(column), min_size=n, max_size=n))
    for column in draw(st.lists(st.sampled_from(list(OPTIONAL_RANGES)), unique=True)):
        table[column] = draw(st.lists(cells(column), min_size=n, max_size=n))
    return pd.DataFrame(table)


@st.composite
def large_table(draw):
    """Many rows from a seeded generator, with a few drawn cells put in."""
    n = draw(st.integers(100, 4 * MAX_ROWS + 100))
    df = random_reservoirs(n, seed=draw(st.integers(0, 2 ** 32 - 1)),
                           nan_frac=draw(st.sampled_from([0.0, 0.2, 0.6, 1.0])),
                           id_kind=draw(st.sampled_from(["str", "int"])), optional=draw(st.booleans()))
    for _ in range(draw(st.integers(0, 6))):
        column = draw(st.sampled_from(list(RANGES)))
        df.loc[draw(st.integers(0, n - 1)), column] = draw(cells(column))
    return df


@st.composite
def reservoir_tables(draw, min_rows=1):
    df = draw(st.one_of(small_table(min_rows), small_table(min_rows), small_table(min_rows), large_table()))
    upper = draw(st.lists(st.booleans(), min_size=df.shape[1], max_size=df.shape[1]))
    df.columns = [c.upper() if u else c for c, u in zip(df.columns, upper)]
    return df


def outcome(function, table):
    """A pipeline's tables, or the type of the exception it raised. The
    tables drawn hold implausible values on purpose: the module's warnings
    about them change no result and are not the subject here."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zelt.InputWarning)
            return function(table)
    except Exception as error:   # compared between the two drivers below
        return type(error)


def assert_same_outcome(got, expected):
    if isinstance(expected, type) or isinstance(got, type):
        assert got == expected, f"{got!r} and {expected!r}"
        return
    assert len(got) == len(expected)
    for k, (g, e) in enumerate(zip(got, expected)):
        try:
            pdt.assert_frame_equal(g, e, check_exact=True)
        except AssertionError as err:
            raise AssertionError(f"table {k}: {err}") from None


# ------------------------------------------------------------ pipelines = step functions

@settings(settings.get_profile(PROFILE))
@given(reservoir_tables())
def test_halvane_equals_its_steps(edin):
    mine, theirs = edin.copy(), edin.copy()
    assert_same_outcome(outcome(zelt.halvane_zelt, mine),
                        outcome(lambda t: halvane_reference(zelt, t), theirs))
    pdt.assert_frame_equal(mine, theirs)


@settings(settings.get_profile(PROFILE))
@given(reservoir_tables())
def test_uom_equals_its_steps(edin):
    mine, theirs = edin.copy(), edin.copy()
    assert_same_outcome(outcome(zelt.uom_zelt, mine), outcome(lambda t: uom_reference(zelt, t), theirs))
    pdt.assert_frame_equal(mine, theirs)


def explained(explanation):
    """(Reservoir_ID, method) -> score, from the first row of each."""
    rows = explanation.drop_duplicates(["Reservoir_ID", "ZeltMethod"])
    return scores_by_reservoir(rows)


@settings(settings.get_profile(PROFILE))
@given(reservoir_tables())
def test_explanations_score_as_the_pipelines(edin):
    # One core run: every score of an explanation is the pipeline's, and the
    # explanation fails where the pipeline fails.
    before = edin.copy()
    for pipeline, explain in ((zelt.halvane_zelt, zelt.explain_halvane_zelt),
                              (zelt.uom_zelt, zelt.explain_uom_zelt)):
        scores, explanation = outcome(pipeline, edin.copy()), outcome(explain, edin)
        pdt.assert_frame_equal(edin, before)
        if isinstance(scores, type) or isinstance(explanation, type):
            assert scores == explanation
            continue
        got, expected = explained(explanation), scores_by_reservoir(scores[0])
        assert len(explanation) == len(scores[0]) * (165 // 15 if pipeline is zelt.halvane_zelt else 8)
        if len(expected) == len(scores[0]):          # unique identifiers
            assert got.keys() == expected.keys()
            assert all(same(got[k], expected[k]) for k in expected)


# ------------------------------------------------------------ independence of the other rows

def scores_by_reservoir(score_table):
    """(Reservoir_ID, method) -> score."""
    return dict(zip(zip(score_table["Reservoir_ID"], score_table["ZeltMethod"]), score_table["Score"]))


def key(resv, method):
    return (resv, method)


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def values(table, columns):
    return table[columns].to_numpy(dtype=float)


def text_names(edin):
    """The table with text names only (the sort of mixed names fails)."""
    edin = edin.copy()
    edin.columns = [c.lower() for c in edin.columns]
    edin["reservoir_unit_name"] = [f"N{k % 3}" for k in range(len(edin))]
    return edin


def rows(edin, positions):
    return edin.iloc[list(positions)].reset_index(drop=True)


@pytest.mark.filterwarnings("ignore::zelt.InputWarning")   # implausible values drawn on purpose
@settings(settings.get_profile(PROFILE))
@given(reservoir_tables(min_rows=2), st.data())
def test_uom_reservoir_results_ignore_other_rows(edin, data):
    edin = text_names(edin)
    n = len(edin)
    subset = data.draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=min(n, 12), unique=True))
    try:
        full = zelt.uom_zelt(edin.copy())
    except ValueError:      # an infinite value is refused in any company
        return
    part = zelt.uom_zelt(rows(edin, subset))
    full_scores, part_scores = scores_by_reservoir(full[0]), scores_by_reservoir(part[0])
    full_p, part_p = values(full[2], PARAMS_2019), values(part[2], PARAMS_2019)
    full_f, part_f = values(full[3], PARAMS_2019), values(part[3], PARAMS_2019)
    for position, k in enumerate(subset):
        resv = edin["resv_id"][k]
        for method in METHODS_2019:
            assert same(part_scores[key(resv, method)], full_scores[key(resv, method)]), method
        np.testing.assert_array_equal(part_p[12 * position:12 * position + 12], full_p[12 * k:12 * k + 12])
        np.testing.assert_array_equal(part_f[position], full_f[k])


def window_values(window, k, n):
    """The pressure window of reservoir k of n: its "Min" rows, then its "Max" rows."""
    v = window["Value"].to_numpy()
    return np.concatenate([v[15 * k:15 * k + 15], v[15 * (n + k):15 * (n + k) + 15]])


def knocked_out(edin, k):
    """Methods a violated knock-out criterion sets to -1.0 for reservoir k,
    from the step functions on that reservoir alone."""
    table = nested_table(read_table(zelt.get_filepath("screening_table.csv")))
    row = edin.iloc[k]
    field = zelt.get_field_data(0, row)
    mmps = [zelt.get_mmp(0, row, field)]
    delta = zelt.get_diff(0, field, mmps, copy.deepcopy(table), METHODS, PARAMS)
    return {m for m in METHODS for p in PARAMS
            if table[p][m]["Stopper"] and not math.isnan(delta[p][m])}


@pytest.mark.filterwarnings("ignore::zelt.InputWarning")   # implausible values drawn on purpose
@settings(settings.get_profile(PROFILE))
@given(reservoir_tables(min_rows=2), st.data())
def test_halvane_reservoir_results_ignore_other_rows(edin, data):
    # Scores are normalised over the reservoirs of the call, so only what
    # does not pass through the normalisation is compared across subsets: the
    # field data, the pressure window (MMPs) and the scores a reservoir pins
    # alone (1.0 inside every range, -1.0 knocked out). Any order of the same
    # reservoirs gives the same scores.
    edin = text_names(edin)
    edin[REQUIRED] = edin[REQUIRED].astype(float)
    n = len(edin)
    subset = data.draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=min(n, 12), unique=True))
    try:
        full = zelt.halvane_zelt(edin.copy())
    except ValueError:      # a domain error of the cubic solver fails the call in any company
        return
    part = zelt.halvane_zelt(rows(edin, subset))
    full_scores, part_scores = scores_by_reservoir(full[0]), scores_by_reservoir(part[0])
    full_f, part_f = values(full[2], PARAMS), values(part[2], PARAMS)
    for position, k in enumerate(subset):
        resv = edin["resv_id"][k]
        np.testing.assert_array_equal(part_f[position], full_f[k])
        np.testing.assert_array_equal(window_values(part[3], position, len(subset)),
                                      window_values(full[3], k, n))
        for method in METHODS:
            mine, theirs = part_scores[key(resv, method)], full_scores[key(resv, method)]
            assert (mine == 1.0) == (theirs == 1.0), method
        for method in knocked_out(edin, k):
            assert part_scores[key(resv, method)] == full_scores[key(resv, method)] == -1.0, method

    permutation = data.draw(st.permutations(range(n)))
    shuffled = zelt.halvane_zelt(rows(edin, permutation))
    shuffled_scores = scores_by_reservoir(shuffled[0])
    assert shuffled_scores.keys() == full_scores.keys()
    assert all(same(shuffled_scores[k], full_scores[k]) for k in full_scores)
    np.testing.assert_array_equal(values(shuffled[2], PARAMS), full_f[list(permutation)])

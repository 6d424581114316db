"""Decline curves: Arps rates and cumulatives, the inverse for qi, the fit
and the cumulative walk of a rate history."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import OptimizeWarning

import quon
import quon_reference as ref

H = quon.CHistoryMatch()
RATE = H._CHistoryMatch__GetRateByTime
CUM = H._CHistoryMatch__GetCumulativeByTime


def test_known_values():
    assert RATE(1000, 0.01, 1.3, 12) == pytest.approx(894.4805, abs=5e-5)
    assert CUM(1000, 0.01, 1.3, 12) == pytest.approx(345.1562, abs=5e-5)
    assert H.GetqiByCumulative(0.01, 1.3, [12], 345.1562251249133, 0) == pytest.approx(1000, rel=1e-13)
    assert RATE(1000, 0.01, 1.3, 0) == 1000 and CUM(1000, 0.01, 1.3, 0) == 0
    assert H.GetRateList([], 1, 2, 3) == [] and H.GetCumulativeList([], 1, 2, 3) == []


@pytest.mark.parametrize("qi, di, b", [(1000, 0.01, 1.3), (12.5, 0.3, 1.05), (99999.0, 5.0, 2.0),
                                       (np.float64(700.0), np.float64(0.2), np.float64(1.7)),
                                       (3, 1, 2)])
def test_lists_equal_the_formulas_value_and_type(qi, di, b):
    t_list = [0, 6, 8.5, 60, np.float64(24.0), np.int64(36)]
    rates = H.GetRateList(t_list, qi, di, b)
    cums = H.GetCumulativeList(t_list, qi, di, b)
    assert rates == [ref.rate(qi, di, b, t) for t in t_list]
    assert cums == [ref.cumulative(qi, di, b, t) for t in t_list]
    assert all(type(v) is np.float64 for v in rates + cums)
    # The per-element methods give the same values.
    assert rates == [RATE(qi, di, b, t) for t in t_list]
    assert cums == [CUM(qi, di, b, t) for t in t_list]


def test_array_times_apply_elementwise():
    t = np.array([0.0, 12.0, 48.0])
    assert np.array_equal(RATE(1000, 0.01, 1.3, t), ref.rate(1000, 0.01, 1.3, t))
    (row,) = H.GetCumulativeList([t], 1000, 0.01, 1.3)
    assert np.array_equal(row, ref.cumulative(1000, 0.01, 1.3, t))
    # The list methods walk a generator once.
    assert H.GetRateList((x for x in [0, 12]), 1000, 0.01, 1.3) == H.GetRateList([0, 12], 1000, 0.01, 1.3)


@pytest.mark.parametrize("di, b, t", [(0.01, 1.3, 12), (0.5, 1.05, 60), (2.0, 1.9, 1), (0.001, 1.5, 36)])
def test_qi_by_cumulative_inverts_the_cumulative(di, b, t):
    for qi in (0.5, 1000.0, 54321.0):
        q = CUM(qi, di, b, t)
        assert H.GetqiByCumulative(di, b, [0, t], q, -1) == pytest.approx(qi, rel=1e-12)
    with pytest.raises(IndexError):
        H.GetqiByCumulative(di, b, [t], 1.0, 3)


def test_division_by_zero_follows_the_interpreter():
    with pytest.raises(ZeroDivisionError):
        RATE(1000, 0.01, 0, 12)
    with pytest.raises(ZeroDivisionError):
        H.GetRateList([0, 1], 0, 0, 0)
    with pytest.raises(ZeroDivisionError):
        H.GetCumulativeList([12], 1000, 0.01, 1)
    # Here the divisor is numpy's: a warning and NaN, not an exception.
    with pytest.warns(RuntimeWarning):
        assert math.isnan(H.GetqiByCumulative(0.01, 1.0, [12], 10.0, 0))
    with np.errstate(divide="ignore", invalid="ignore"):
        v = H.GetCumulativeList([12], np.float64(1000), np.float64(0.01), np.float64(1.0))[0]
    assert not math.isfinite(v)


def test_a_subclass_override_is_used_by_the_lists():
    class Shifted(quon.CHistoryMatch):
        def _CHistoryMatch__GetRateByTime(self, qi, DiTan, b, t):
            return t + 0.5
    assert Shifted().GetRateList([1, 2], 1000, 0.01, 1.3) == [1.5, 2.5]


def ignore_covariance_warning(fn, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizeWarning)
        return fn(*args)


@pytest.mark.parametrize("qi, di, b", [(3000.0, 0.2, 1.4), (500.0, 0.05, 1.9), (20000.0, 1.5, 1.1)])
def test_fit_recovers_a_decline_and_agrees_with_curve_fit(qi, di, b):
    t = [0] + quon.nOutputMonthList
    q = [ref.cumulative(qi, di, b, x) for x in t]
    p = H.GetMatchParams(t, q)
    assert len(p) == 3 and 0.01 <= p[0] <= 1e5 and 1e-4 <= p[1] <= 99 and 1.05 <= p[2] <= 2.0
    fitted = H.GetCumulativeList(t, *p)
    assert np.allclose(fitted, q, rtol=0.02, atol=1.0)
    rates, cums = H.GetMatchLists(t, q)
    ref_rates, ref_cums = ref.fit(t, q)
    assert np.allclose(cums, ref_cums, rtol=1e-9) and np.allclose(rates, ref_rates, rtol=1e-9)


def test_fitted_b_stays_in_its_bounds():
    t = [0] + quon.nOutputMonthList
    for b in (0.3, 0.9, 3.5):  # data outside the allowed range of b
        q = [ref.cumulative(2000.0, 0.1, b, x) if b != 1 else 0 for x in t]
        p = ignore_covariance_warning(H.GetMatchParams, t, q)
        assert 1.05 <= p[2] <= 2.0


def test_fit_bounds_follow_bplay(monkeypatch):
    calls = []

    def fake_fit(f, x, y, **kw):
        calls.append(kw)
        return np.array([1.0, 2.0, 3.0]), None
    monkeypatch.setattr(quon, "curve_fit", fake_fit)
    monkeypatch.setattr(quon, "bPlay", 1.5)
    assert tuple(H.GetMatchParams([0, 1], [0, 1])) == (1.0, 2.0, 3.0)
    (kw,) = calls
    assert kw == {"p0": [1000, 0.01, 1.5], "bounds": ([0.01, 0.0001, 1.25], [100000.0, 99, 2.2]),
                  "ftol": 0.01}


def test_fitter_giving_up_gives_zeros_then_division_by_zero(monkeypatch):
    def gives_up(*a, **kw):
        raise RuntimeError("Optimal parameters not found")
    monkeypatch.setattr(quon, "curve_fit", gives_up)
    assert H.GetMatchParams([0, 1], [0, 1]) == (0, 0, 0)
    with pytest.raises(ZeroDivisionError, match="division by zero"):
        H.GetMatchLists([0, 1], [0, 1])

    def other_error(*a, **kw):
        raise ValueError("bad data")
    monkeypatch.setattr(quon, "curve_fit", other_error)
    with pytest.raises(ValueError, match="bad data"):
        H.GetMatchParams([0, 1], [0, 1])


def test_fitter_rejects_bad_data():
    with pytest.raises(ValueError):
        H.GetMatchParams([0, 1, 2], [0, float("nan"), 2])
    with pytest.raises((ValueError, TypeError)):
        H.GetMatchParams([0, 1, 2], [0, 1])
    with pytest.raises((ValueError, TypeError)):
        H.GetMatchParams(["a", "b", "c"], [0, 1, 2])


@pytest.mark.parametrize("t, y, expected", [
    ([], [], [0.0]),
    ([0], [5], [0.0]),
    ([0, 1, 2], [500, 1000, 1000], [0.0, 30.4375, 60.875]),
    ([0, 1, 3], [0, 100, 100], [0.0, 3.04375, 9.13125]),
    ([0, 1, 2, 3], [0, 1000, float("nan"), 1000], [0.0, 30.4375]),
    ([0, 1, 2, 3], [0, 1000, None, 1000], [0.0, 30.4375]),
])
def test_cumulative_walk(t, y, expected):
    assert quon.CQCalculator().GetQWell(t, y) == pytest.approx(expected, rel=1e-15)


def test_walk_types_and_containers():
    q = quon.CQCalculator()
    plain = q.GetQWell([0, 1, 2], [9, 1000.0, 1000])
    assert all(type(v) is float for v in plain)
    for t, y in [(np.array([0, 1, 2]), np.array([9.0, 1000.0, 1000.0])),
                 (pd.Series([0, 1, 2]), pd.Series([9.0, 1000.0, 1000.0]))]:
        out = q.GetQWell(t, y)
        assert out == plain and type(out[0]) is float and all(type(v) is np.float64 for v in out[1:])
    assert q.GetQWell([0, 1, 2], [-5, 1000, 1000]) == q.GetQWell([0, 1, 2], [123, 1000, 1000])
    # Values the C++ road does not take go through the interpreter's arithmetic.
    from fractions import Fraction
    assert q.GetQWell([0, 1, 2], [0, Fraction(1000), 1000]) == plain
    assert q.GetQWell([0, 1e300, 2e300], [0, 1e10, 1e10])[1:] == [math.inf, math.inf]
    with pytest.raises(IndexError):
        q.GetQWell([0, 1, 2], [0, 1])
    with pytest.raises(TypeError):
        q.GetQWell([0, 1, 2], [0, "1000", 1])

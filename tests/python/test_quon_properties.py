"""Generated cases for the forecasting arithmetic: the module's decline
lists, walk and bands give what the plain-Python formulas give, for any
numbers, and the inverse for qi undoes the cumulative."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quon
import quon_reference as ref

H = quon.CHistoryMatch()
EXAMPLES = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

any_float = st.floats(allow_nan=True, allow_infinity=True, width=64)
number = st.one_of(any_float, st.integers(-10**6, 10**6), st.sampled_from([0, 0.0, 1, 1.0, -0.0]),
                   any_float.map(np.float64))


def outcome(fn, *args):
    """(exception type) or the repr of the values, with warnings silenced."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            value = fn(*args)
        except Exception as e:
            return type(e)
    return [(type(v), repr(v)) for v in value]


@EXAMPLES
@given(t=st.lists(number, max_size=6), qi=number, di=number, b=number)
def test_lists_equal_the_formulas(t, qi, di, b):
    assert outcome(H.GetRateList, t, qi, di, b) == \
        outcome(lambda *a: [ref.rate(qi, di, b, x) for x in t])
    assert outcome(H.GetCumulativeList, t, qi, di, b) == \
        outcome(lambda *a: [ref.cumulative(qi, di, b, x) for x in t])
    array = np.array([float(x) for x in t], dtype=float)
    assert outcome(H.GetCumulativeList, array, qi, di, b) == \
        outcome(lambda *a: [ref.cumulative(qi, di, b, x) for x in array])


# Integers whose products are past 2**53, where rounding each product
# would differ from the interpreter's exact integer arithmetic.
big_int = st.integers(-2**40, 2**40)


@EXAMPLES
@given(t=st.one_of(number, big_int), qi=number, di=st.one_of(number, big_int), b=st.one_of(number, big_int),
       q=number)
def test_elements_and_qi_equal_the_formulas(t, qi, di, b, q):
    rate = H._CHistoryMatch__GetRateByTime
    cum = H._CHistoryMatch__GetCumulativeByTime
    assert outcome(lambda: [rate(qi, di, b, t)]) == outcome(lambda: [ref.rate(qi, di, b, t)])
    assert outcome(lambda: [cum(qi, di, b, t)]) == outcome(lambda: [ref.cumulative(qi, di, b, t)])
    assert outcome(lambda: H.GetRateList([t, t], qi, di, b)) == \
        outcome(lambda: [ref.rate(qi, di, b, t)] * 2)
    assert outcome(lambda: [H.GetqiByCumulative(di, b, [t], q, 0)]) == \
        outcome(lambda: [ref.qi_by_cumulative(di, b, t, q)])


@EXAMPLES
@given(t=big_int, di=big_int, b=big_int)
def test_integer_lists_equal_the_exact_formulas(t, di, b):
    assert outcome(H.GetRateList, [t], 1000, di, b) == outcome(lambda *a: [ref.rate(1000, di, b, t)])
    assert outcome(H.GetCumulativeList, [t], 1000, di, b) == \
        outcome(lambda *a: [ref.cumulative(1000, di, b, t)])


@EXAMPLES
@given(qi=st.floats(0.01, 1e5), di=st.floats(1e-4, 99), b=st.floats(1.05, 2.0), t=st.floats(0.5, 600))
def test_qi_by_cumulative_inverts_the_cumulative(qi, di, b, t):
    q = H._CHistoryMatch__GetCumulativeByTime(qi, di, b, t)
    back = H.GetqiByCumulative(di, b, [t], q, 0)
    assert back == pytest.approx(qi, rel=1e-9)


def walk(t, y):
    q, total = [0.0], 0.0
    for i in range(1, len(t)):
        if pd.isnull(y[i]):
            break
        total = total + quon.QUnitFactor * y[i] * (t[i] - t[i - 1])
        q.append(total)
    return q


@EXAMPLES
@given(data=st.lists(st.tuples(number, st.one_of(number, st.none())), max_size=6))
def test_walk_equals_the_formula(data):
    t = [a for a, _ in data]
    y = [b for _, b in data]
    assert outcome(quon.CQCalculator().GetQWell, t, y) == outcome(walk, t, y)


finite = st.floats(-1e6, 1e6)


@EXAMPLES
@given(rows=st.lists(st.tuples(st.one_of(finite, st.just(math.nan)), st.one_of(finite, st.just(math.nan))),
                     min_size=1, max_size=12),
       num_bins=st.integers(1, 4))
def test_bands_equal_pandas_and_numpy(rows, num_bins):
    df = pd.DataFrame(rows, columns=["model", "real"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            want = ref.band(df, num_bins)
        except Exception as e:
            want = type(e)
        original = quon.numBins
        quon.numBins = num_bins
        d = quon.CMainDravex()
        try:
            d._CMainDravex__SetP10P90BinnedMonth(df, 6)
            got = (d.m_boundList[6], d.m_modelProbBinned[6])
        except Exception as e:
            got = type(e)
        finally:
            quon.numBins = original
    assert repr(got) == repr(want)

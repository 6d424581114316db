"""GetMatchParams and GetMatchLists on the module's own fit: curve_fit's
fitted curves to a millionth wherever curve_fit's own answer is determined
that finely, curve_fit itself wherever the call would not fit the class's
own model to plain data; its results, warnings and errors in every case."""

import threading
import warnings

import numpy as np
import pytest
import scipy.optimize
from scipy.optimize import curve_fit

import quon
import quon_reference as ref

T = [0] + quon.nOutputMonthList
H = quon.CHistoryMatch()


def through_curve_fit(history_match, t, q, b_play=1.3):
    """GetMatchParams as curve_fit computes it: (parameters, warnings), or
    the error it raises."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            popt, _ = curve_fit(history_match.GetCumulativeList, t, q, p0=[1000, 0.01, b_play],
                                bounds=([0.01, 0.0001, b_play - 0.25], [100000.0, 99, b_play + 0.7]), ftol=0.01)
            result = tuple(popt)
        except RuntimeError:
            result = (0, 0, 0)
        except Exception as e:  # noqa: BLE001 - the error is the outcome compared
            return type(e), str(e)
    return result, [(w.category, str(w.message)) for w in caught]


def through_module(history_match, t, q):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = history_match.GetMatchParams(t, q)
        except Exception as e:  # noqa: BLE001
            return type(e), str(e)
    return result, [(w.category, str(w.message)) for w in caught]


def same_outcome(got, want, rel=0.0):
    """Results of equal types (numpy float64 against float64, int 0 against
    int 0) within `rel` of each other and equal warnings, or the same error."""
    if not isinstance(got[0], tuple) or not isinstance(want[0], tuple):
        return got == want
    (a, wa), (b, wb) = got, want
    return wa == wb and len(a) == len(b) and all(
        type(x) is type(y) and abs(x - y) <= rel * abs(y) for x, y in zip(a, b))


class FitterCalls:
    """Counts the runs of curve_fit's bounded least squares while active."""

    def __init__(self, monkeypatch):
        self.count = 0
        minpack = scipy.optimize._minpack_py
        real = minpack.least_squares

        def counted(*args, **kwargs):
            self.count += 1
            return real(*args, **kwargs)
        monkeypatch.setattr(minpack, "least_squares", counted)


def declines(n, seed, wild=False):
    """Cumulative series at the driver's months: Arps declines of the kind
    the driver fits (inside the fit's box, a few percent of scatter) or,
    wild, far outside it as well, with up to 30 % log-normal scatter."""
    rng = np.random.default_rng(seed)
    t = np.array(T, dtype=float)
    out = []
    for _ in range(n):
        if wild:
            qi, di, b, scatter = 10 ** rng.uniform(1, 5), 10 ** rng.uniform(-4, 1), rng.uniform(0.2, 3.5), 0.3
        else:
            qi, di, b, scatter = 10 ** rng.uniform(2.5, 4.5), 10 ** rng.uniform(-2, 0), rng.uniform(1.05, 2.0), 0.05
        q = H.GetCumulativeList(t, qi, di, b)
        s = rng.uniform(0, scatter)
        out.append([0] + [v * np.exp(s * rng.standard_normal()) for v in q[1:]])
    return out


def test_fitted_curves_agree_with_curve_fits_over_1000_random_declines(monkeypatch):
    series = declines(600, 1) + declines(400, 2, wild=True)
    calls = FitterCalls(monkeypatch)
    got = [H.GetMatchLists(T, q) for q in series]
    params = [H.GetMatchParams(T, q) for q in series]
    assert calls.count == 0  # none of them needed curve_fit
    monkeypatch.undo()
    # Within 1 % of the series (5 % of the initial rate) where undetermined;
    # 10 % for the wild ones.
    verdicts = [ref.fit_agreement(T, q, g, loose=1e-2 if k < 600 else 1e-1) for k, (q, g) in enumerate(zip(series, got))]
    assert "different" not in verdicts[:600], [k for k, v in enumerate(verdicts) if v == "different"][:5]
    # Of the wild ones, one in a few hundred takes another branch of a step
    # (near-equal candidates) where curve_fit's answer is determined; those
    # stay within a hundred thousandth.
    different = [k for k, v in enumerate(verdicts) if v == "different"]
    assert len(different) <= 2, different
    for k in different:
        assert ref.curves_close(got[k], ref.fit(T, series[k]), series[k], rel=1e-5, of_scale=1e-8), k
    # Most are close; the rest are series on which curve_fit is not
    # reproducible to a millionth itself.
    assert verdicts[:600].count("close") > 400 and verdicts.count("close") > 600
    assert all(type(v) is np.float64 for p in params for v in p)
    assert all(type(v) is np.float64 for g in got[:10] for v in g[0] + g[1])
    # GetMatchLists is the curves of GetMatchParams' decline.
    for q, (rates, cums), p in list(zip(series, got, params))[:50]:
        np.testing.assert_allclose(rates, H.GetRateList(T, *p), rtol=1e-12)
        np.testing.assert_allclose(cums, H.GetCumulativeList(T, *p), rtol=1e-12)
    # The fitted points reach both bounds of b and stay inside the box.
    b = np.array([p[2] for p in params])
    assert b.min() == pytest.approx(1.05, abs=1e-6) and b.max() == pytest.approx(2.0, abs=1e-6)


UNUSUAL = {
    "all zero": (T, [0.0] * 29),
    "constant": (T, [5.0] * 29),
    "falling": (T, list(np.linspace(1000.0, 0.0, 29))),
    "negative": (T, list(-np.linspace(0.0, 1000.0, 29))),
    "huge": (T, list(np.linspace(0.0, 1e12, 29))),
    "tiny": (T, list(np.linspace(0.0, 1e-12, 29))),
    "a step": (T, [0.0] * 14 + [1000.0] * 15),
    "a spike": (T, [0.0] * 28 + [1e9]),
    "integers": (T, list(range(0, 2900, 100))),
    "float32": (T, [np.float32(v) for v in np.linspace(0.0, 3000.0, 29) ** 0.8]),
    "tuples": (tuple(T[:5]), (0, 100, 120, 135, 150)),
    "four points": ([0, 1, 2, 3], [0, 10, 18, 25]),
    "three points": ([0, 1, 2], [0, 10, 18]),
    "negative time": ([0, -5, 10, 20], [0, 50, 100, 140]),
    "late times": ([1e6, 2e6, 3e6, 4e6], [1, 2, 3, 4]),
    "a NaN": ([0, 6, 8, 10], [0, np.nan, 3, 4]),
    "an infinity": ([0, 6, 8, 10], [0, 1, np.inf, 4]),
    "lengths differ": ([0, 6, 8, 10], [0, 1, 2]),
    "times as an array": (np.array(T), list(np.linspace(0.0, 3000.0, 29) ** 0.8)),
    "text": ([0, 6, 8, 10], [0, "1", 2, 3]),
    "empty": ([], []),
}


# The series the module fits itself; curve_fit is called for the others.
OWN_FIT = {"all zero", "constant", "falling", "negative", "huge", "tiny", "a step", "a spike", "integers",
           "float32", "tuples", "four points", "negative time", "late times"}


@pytest.mark.parametrize("name", list(UNUSUAL))
def test_unusual_series_give_what_curve_fit_gives(name, monkeypatch):
    t, q = UNUSUAL[name]
    want = through_curve_fit(H, t, q)
    calls = FitterCalls(monkeypatch)
    got = through_module(H, t, q)
    assert calls.count == 0 or name not in OWN_FIT
    if name not in OWN_FIT:  # curve_fit's own answer or error (raised before its least squares)
        assert same_outcome(got, want)
        return
    # The module's fit warns of nothing, and its curves are curve_fit's
    # where curve_fit's are determined (the flat valleys of these series
    # leave them undetermined to a millionth; the curves are compared).
    assert got[1] == [] and [type(v) for v in got[0]] == [type(v) for v in want[0]]
    if want[0] != (0, 0, 0):
        curves = (H.GetRateList(t, *got[0]), H.GetCumulativeList(t, *got[0]))
        assert ref.fit_agreement(list(t), [float(v) for v in q], curves, loose=0.1) != "different", (got, want)


class Doubled(quon.CHistoryMatch):
    def GetCumulativeList(self, tList, qi, DiTan, b):
        return [2 * v for v in super().GetCumulativeList(tList, qi, DiTan, b)]


class Shifted(quon.CHistoryMatch):
    def _CHistoryMatch__GetCumulativeByTime(self, qi, DiTan, b, t):
        return 1.0 + super()._CHistoryMatch__GetCumulativeByTime(qi, DiTan, b, t)


def test_a_replaced_model_function_is_fitted_by_curve_fit(monkeypatch):
    q = declines(1, 3)[0]
    for history_match in (Doubled(), Shifted()):
        want = through_curve_fit(history_match, T, q)
        calls = FitterCalls(monkeypatch)
        assert same_outcome(through_module(history_match, T, q), want)
        assert calls.count == 1
        assert not same_outcome(want, through_curve_fit(H, T, q), rel=1e-3)  # it is another fit
        monkeypatch.undo()
    # A replaced curve_fit is called, with the module's model function.
    seen = []

    def spy(f, *args, **kwargs):
        seen.append(f)
        return curve_fit(f, *args, **kwargs)
    monkeypatch.setattr(quon, "curve_fit", spy)
    assert same_outcome(through_module(H, T, q), through_curve_fit(H, T, q))
    rates, _ = H.GetMatchLists(T, q)
    assert seen == [H.GetCumulativeList] * 2
    # So is curve_fit when np is not numpy (the model takes its power).
    monkeypatch.undo()
    calls = FitterCalls(monkeypatch)
    monkeypatch.setattr(quon, "np", type("numpy_like", (), {"power": staticmethod(np.power)}))
    H.GetMatchParams(T, q)
    assert calls.count == 1


def test_constants_are_read_at_call_time(monkeypatch):
    q = declines(1, 4)[0]
    monkeypatch.setattr(quon, "bPlay", 1.6)
    monkeypatch.setattr(quon, "QUnitFactor", 0.05)
    calls = FitterCalls(monkeypatch)
    got = through_module(H, T, q)
    assert calls.count == 0
    assert same_outcome(got, through_curve_fit(H, T, q, b_play=1.6), rel=1e-3)
    assert 1.35 <= got[0][2] <= 2.3


def test_fits_from_several_threads_equal_serial_fits():
    series = declines(40, 5)
    want = [tuple(H.GetMatchParams(T, q)) for q in series]
    results = [[None] * len(series) for _ in range(4)]

    def work(k):
        for i in range(len(series)):
            j = (i + 10 * k) % len(series)
            results[k][j] = tuple(H.GetMatchParams(T, series[j]))
    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert all(r == want for r in results)


def test_the_fit_gives_the_same_bits_on_every_stack():
    """The fit is plain double arithmetic and the C library's correctly
    rounded pow: the same series give the same fitted curves bit for bit
    with any numpy, scipy, compiler and C library. Series made with
    Python's own generator and rounded to a millionth, so that they are the
    same everywhere; the digest is the one Debian 12 (g++ 12, glibc 2.36)
    and Debian 13 (g++ 14, glibc 2.41) both give."""
    import hashlib
    import random
    import struct
    rng = random.Random(7)
    digest = hashlib.sha256()
    for _ in range(1000):
        qi, di, b = 10 ** rng.uniform(2.5, 4.5), 10 ** rng.uniform(-2, 0), rng.uniform(1.05, 2.0)
        q = [0.0] + [round(0.0304375 * qi / (di * (1 - b)) * (1 - (1 + b * di * t) ** (1 - 1 / b))
                           * (1 + 0.05 * rng.uniform(-1, 1)), 6) for t in T[1:]]
        rates, cums = H.GetMatchLists(T, q)
        digest.update(struct.pack("58d", *(list(rates) + list(cums))))
    assert digest.hexdigest()[:16] == "d8f649cf3d28e00e"

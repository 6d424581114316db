#!/usr/bin/env python3
"""Forecasting benchmark: Process and Predict of the driver on the play
beside the built module, Predict against the same steps written in plain
Python, and where a Predict's time goes.

    PYTHONPATH=build python3 bench/bench_forecast.py [--calls 50] [--process-calls 10]

The plain-Python steps (`plain_python_predict` below) run over the driver's
own loaded models and bands and do what Predict does, the way a Python
script would: the geological model's predict on [[lat, lon]]; for each of
the 28 months a one-row DataFrame labelled with the booster's feature
names and the model's own predict on it, the bin of the output and its
P10/P90 values; three scipy curve_fit calls with the arguments Predict
uses and a model function that evaluates the Arps cumulative element by
element with numpy's power; two tables from column dictionaries. Their
tables equal Predict's to the fits' tolerance.

The split is taken on instrumented Predict calls: the geological model is
wrapped so that its predict is timed, the driver's m_historyMatch is a
stand-in whose GetMatchLists (the fit, then the fitted rate and cumulative
lists) is timed, and `quon.pd` a stand-in whose DataFrame is timed (the
result tables). What is left is the monthly models (through the booster
Process loaded for each) and the module's own work: the checks of the
arguments and models, the bins and bands, the lists.

The fits themselves are then timed apart on the design's three series:
GetMatchParams (the module's own fit) against scipy's curve_fit called as
the plain-Python steps call it, per fit.
"""

import argparse
import os
import resource
import statistics
import sys
import time

import numpy as np
import pandas as pd
from scipy.optimize import curve_fit

import quon

DESIGN = (41.7, -76.6, 20, 5000, 250, 1500, 0)
Q_UNIT_FACTOR = 0.001 * 30.4375
B_PLAY = 1.3


# ------------------------------------------------------- plain-Python steps

def arps_cumulative(qi, di, b, t):
    return Q_UNIT_FACTOR * (qi / (di * (1 - b))) * (1 - np.power(1 + b * di * t, 1 - 1.0 / b))


def arps_rate(qi, di, b, t):
    return qi * np.power(1.0 + b * di * t, -1 / b)


def cumulative_list(t_list, qi, di, b):
    return [arps_cumulative(qi, di, b, t) for t in t_list]


def fitted(t_list, q_list):
    popt, _ = curve_fit(cumulative_list, t_list, q_list, p0=[1000, 0.01, B_PLAY],
                        bounds=([0.01, 0.0001, B_PLAY - 0.25], [100000.0, 99, B_PLAY + 0.7]), ftol=0.01)
    qi, di, b = popt
    return [arps_rate(qi, di, b, t) for t in t_list], cumulative_list(t_list, qi, di, b)


def plain_python_predict(driver, lat, lon, frac_stages, well_len, frac_spacing, fluid_vol):
    isip = driver.m_geoModelDict[quon.strISIP].predict([[lat, lon]])[0]
    row = [lat, lon, frac_stages, isip, well_len, frac_spacing, fluid_vol]
    outputs, p10, p90 = [], [], []
    for month in quon.nOutputMonthList:
        model = driver.m_modelDict[month]
        data = pd.DataFrame(np.array([row]), columns=model.get_booster().feature_names)
        output = model.predict(data)[0]
        outputs.append(output)
        bounds = driver.m_boundList[month]
        k = 0
        while k < len(bounds) and not output < bounds[k]:
            k += 1
        band = driver.m_modelProbBinned[month][min(k, len(bounds) - 1)]
        p10.append(output * (1 + band["P10"]))
        p90.append(output * (1 + band["P90"]))
    t = [0] + quon.nOutputMonthList
    rate, cum = fitted(t, [0] + outputs)
    rate10, cum10 = fitted(t, [0] + p10)
    rate90, cum90 = fitted(t, [0] + p90)
    return (pd.DataFrame({"Month": t, "P90": rate90, "q": rate, "P10": rate10}),
            pd.DataFrame({"Month": t, "P90": cum90, "Q": cum, "P10": cum10, "Model Output": [0] + outputs}))


# ------------------------------------------------------------ instruments

class Clock:
    def __init__(self):
        self.totals = {}

    def add(self, key, seconds):
        self.totals[key] = self.totals.get(key, 0.0) + seconds

    def timed(self, key, fn):
        def call(*args, **kwargs):
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.add(key, time.perf_counter() - start)
        return call


class TimedGeoModel:
    """Forwards to the geological model, timing its predict."""

    def __init__(self, model, clock):
        self._model, self._clock = model, clock

    def predict(self, rows):
        return self._clock.timed("geological model", self._model.predict)(rows)


class TimedHistoryMatch:
    """Forwards to the driver's CHistoryMatch, timing GetMatchLists."""

    def __init__(self, history_match, clock):
        self._history_match, self._clock = history_match, clock

    def GetMatchLists(self, t_list, q_list):
        return self._clock.timed("fits", self._history_match.GetMatchLists)(t_list, q_list)


class TimedPandas:
    """pandas, with DataFrame timed."""

    def __init__(self, clock):
        self.DataFrame = clock.timed("tables", pd.DataFrame)

    def __getattr__(self, name):
        return getattr(pd, name)


def fit_seconds(driver, repeat):
    """Median time per fit of GetMatchParams and of curve_fit (as the
    plain-Python steps call it) on the three series of the design, after
    checking that both give parameters within the fit's tolerance."""
    driver.Predict(*DESIGN)
    t = [0] + quon.nOutputMonthList
    series = [[0] + list(driver.m_modelOutputList[1:])]
    series += [[0] + list(driver.m_modelOutputWithProbList[p]) for p in ("P10", "P90")]
    history_match = driver.m_historyMatch
    bounds = ([0.01, 0.0001, B_PLAY - 0.25], [100000.0, 99, B_PLAY + 0.7])

    def scipy_params(q):
        return curve_fit(history_match.GetCumulativeList, t, q, p0=[1000, 0.01, B_PLAY], bounds=bounds,
                         ftol=0.01)[0]

    for q in series:
        np.testing.assert_allclose(history_match.GetMatchParams(t, q), scipy_params(q), rtol=0.05)
    timings = []
    for fit in (lambda q: history_match.GetMatchParams(t, q), scipy_params):
        samples = []
        for _ in range(repeat):
            start = time.perf_counter()
            for q in series:
                fit(q)
            samples.append((time.perf_counter() - start) / len(series))
        timings.append(statistics.median(samples))
    return timings


def median_ms(samples):
    return 1000.0 * statistics.median(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=50, help="Predict calls (default 50)")
    parser.add_argument("--process-calls", type=int, default=10, help="Process calls (default 10)")
    args = parser.parse_args()

    driver = quon.CMainDravex()
    driver.Process()
    if not driver.m_modelDict:
        sys.exit("no play beside %s: run `make build` first" % quon.__file__)
    load = os.getloadavg()

    process_times = []
    for _ in range(args.process_calls):
        d = quon.CMainDravex()
        start = time.perf_counter()
        d.Process()
        process_times.append(time.perf_counter() - start)

    # Predict and the plain-Python steps, alternately, so that both see the
    # same load (and each starts with caches the other has used).
    predicted = driver.Predict(*DESIGN)
    plain_tables = plain_python_predict(driver, *DESIGN[:6])
    for got, want in zip(predicted, plain_tables):
        # The fits stop at ftol 0.01: the tables agree to about a millionth
        # where curve_fit's own fits are determined that finely, to a
        # percent otherwise (docs/forecast-internals.md).
        pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-2)
    native, plain = [], []
    for _ in range(args.calls):
        start = time.perf_counter()
        driver.Predict(*DESIGN)
        native.append(time.perf_counter() - start)
        start = time.perf_counter()
        plain_python_predict(driver, *DESIGN[:6])
        plain.append(time.perf_counter() - start)

    # Predict back to back, with its models and tables warm in the caches.
    back_to_back = []
    for _ in range(args.calls):
        start = time.perf_counter()
        driver.Predict(*DESIGN)
        back_to_back.append(time.perf_counter() - start)

    # Instrumented calls for the split.
    real_pd = quon.pd
    splits = []
    timed_driver = quon.CMainDravex()
    timed_driver.Process()
    geo = timed_driver.m_geoModelDict[quon.strISIP]
    history_match = timed_driver.m_historyMatch
    for _ in range(args.calls):
        clock = Clock()
        timed_driver.m_geoModelDict = {quon.strISIP: TimedGeoModel(geo, clock)}
        timed_driver.m_historyMatch = TimedHistoryMatch(history_match, clock)
        quon.pd = TimedPandas(clock)
        try:
            start = time.perf_counter()
            timed_driver.Predict(*DESIGN)
            total = time.perf_counter() - start
        finally:
            quon.pd = real_pd
        clock.totals["total"] = total
        splits.append(clock.totals)
    module_fit, scipy_fit = fit_seconds(driver, args.calls)

    def med(key):
        return median_ms([s.get(key, 0.0) for s in splits])

    total = med("total")
    rest = total - med("geological model") - med("fits") - med("tables")
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    # The demo play's months continue the previous month's trees: the count
    # that sets the work is the trees of all 28 models.
    trees = sum(driver.m_modelDict[m].get_booster().num_boosted_rounds() for m in driver.m_modelDict)

    print("forecasting benchmark, play %s (28 monthly models, %d trees in all)"
          % (os.path.relpath(driver.m_filesDir), trees))
    print("machine: %d cores, %s; load average %.2f / %.2f / %.2f (1/5/15 min) at the start"
          % (os.cpu_count(), os.uname().machine, *load))
    print()
    print("Process: median %.1f ms over %d calls (load 1 + 28 pickled models, 28 bands)"
          % (median_ms(process_times), args.process_calls))
    print("Predict: median %.2f ms over %d calls (%.0f predictions/s)"
          % (median_ms(native), args.calls, 1000.0 / median_ms(native)))
    print("  (back to back, caches warm: median %.2f ms)" % median_ms(back_to_back))
    print("plain-Python steps: median %.2f ms over %d calls" % (median_ms(plain), args.calls))
    print("Predict is %.1fx the plain-Python steps (target at least 8x)" % (median_ms(plain) / median_ms(native)))
    print()
    print("where a Predict's time goes (medians of %d instrumented calls, %.2f ms in all):" % (args.calls, total))
    rows = [
        ("geological model (its predict)", med("geological model")),
        ("monthly models, bands, bins, lists and the module's checks", rest),
        ("decline fits (3 GetMatchLists: fit, rates, cumulatives)", med("fits")),
        ("result tables (2 DataFrames)", med("tables")),
    ]
    for name, ms in rows:
        print("  %-56s %8.2f ms  %5.1f %%" % (name, ms, 100.0 * ms / total))
    print()
    print("one decline fit (median over the design's 3 series):")
    print("  GetMatchParams (the module's fit)   %8.3f ms" % (1000.0 * module_fit))
    print("  scipy's curve_fit                   %8.3f ms  (%.0fx)" % (1000.0 * scipy_fit, scipy_fit / module_fit))
    print()
    print("peak RSS: %.0f MiB" % rss)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Forecasting benchmark: Process and Predict of the driver on the play
beside the built module, with the time of a Predict split into the trained
models' calls, the fitter's own work, and the module's work around them.

    PYTHONPATH=build python3 bench/bench_forecast.py [--calls 50] [--process-calls 10]

The split is taken on instrumented calls: the monthly models and the
geological model are wrapped so that their `predict` (and `get_booster`) are
timed, and `quon.curve_fit` is rebound to a wrapper that times the fitter
with the module's model function timed separately inside it. What is left
of a Predict is the module's own overhead (feature rows, one-row tables,
bands, lists and the two result tables). Plain calls give the headline
median.
"""

import argparse
import os
import resource
import statistics
import sys
import time
import warnings

import quon

DESIGN = (41.7, -76.6, 20, 5000, 250, 1500, 0)


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


class TimedModel:
    """Forwards to a trained model, timing its calls."""

    def __init__(self, model, clock, key):
        self._model, self._clock, self._key = model, clock, key

    def predict(self, data):
        return self._clock.timed(self._key, self._model.predict)(data)

    def get_booster(self):
        return self._clock.timed(self._key, self._model.get_booster)()


def median_ms(samples):
    return 1000.0 * statistics.median(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=50, help="Predict calls (default 50)")
    parser.add_argument("--process-calls", type=int, default=10, help="Process calls (default 10)")
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # the fitter's covariance notice

    driver = quon.CMainDravex()
    driver.Process()
    if not driver.m_modelDict:
        sys.exit("no play beside %s: run `make build` first" % quon.__file__)

    process_times = []
    for _ in range(args.process_calls):
        d = quon.CMainDravex()
        start = time.perf_counter()
        d.Process()
        process_times.append(time.perf_counter() - start)

    driver.Predict(*DESIGN)  # warm-up
    plain = []
    for _ in range(args.calls):
        start = time.perf_counter()
        driver.Predict(*DESIGN)
        plain.append(time.perf_counter() - start)

    # Instrumented calls for the split.
    real_fit = quon.curve_fit
    splits = []
    timed_driver = quon.CMainDravex()
    timed_driver.Process()
    for _ in range(args.calls):
        clock = Clock()
        timed_driver.m_modelDict = {m: TimedModel(model, clock, "monthly models")
                                    for m, model in driver.m_modelDict.items()}
        timed_driver.m_geoModelDict = {k: TimedModel(model, clock, "geological model")
                                       for k, model in driver.m_geoModelDict.items()}

        def fit(f, *a, **kw):
            return real_fit(clock.timed("model function", f), *a, **kw)
        quon.curve_fit = clock.timed("fitter (with model function)", fit)
        try:
            start = time.perf_counter()
            timed_driver.Predict(*DESIGN)
            total = time.perf_counter() - start
        finally:
            quon.curve_fit = real_fit
        clock.totals["total"] = total
        splits.append(clock.totals)

    def med(key):
        return median_ms([s.get(key, 0.0) for s in splits])

    total = med("total")
    models = med("monthly models") + med("geological model")
    fitter = med("fitter (with model function)") - med("model function")
    module = total - models - fitter
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

    print("forecasting benchmark, play %s" % os.path.relpath(driver.m_filesDir))
    print("machine: %d cores, %s" % (os.cpu_count(), os.uname().machine))
    print()
    print("Process: median %.1f ms over %d calls (load 1 + 28 pickled models, 28 bands)"
          % (median_ms(process_times), args.process_calls))
    print("Predict: median %.2f ms over %d calls (%.0f predictions/s)"
          % (median_ms(plain), args.calls, 1000.0 / median_ms(plain)))
    print()
    print("where a Predict's time goes (medians of %d instrumented calls, %.2f ms in all):" % (args.calls, total))
    rows = [
        ("trained models' predict (29 calls)", models),
        ("fitter's own work (3 fits)", fitter),
        ("module: model function inside the fits", med("model function")),
        ("module: everything else", module - med("model function")),
    ]
    for name, ms in rows:
        print("  %-42s %8.2f ms  %5.1f %%" % (name, ms, 100.0 * ms / total))
    print("  %-42s %8.2f ms  %5.1f %%  (target under 10 %%)"
          % ("module overhead in all", module, 100.0 * module / total))
    print()
    print("peak RSS: %.0f MiB" % rss)


if __name__ == "__main__":
    main()

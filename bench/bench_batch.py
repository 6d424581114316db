#!/usr/bin/env python3
"""Batch forecasting benchmark: PredictBatch on 2,000 designs against a loop
of Predict over the same designs, its time split, and its peak memory at
2,000 and 20,000 designs.

    PYTHONPATH=build python3 bench/bench_batch.py [--core build/bench_batch_core]
        [--designs 2000] [--repeat 5] [--sample 100]

The designs lie in the driver's map window and slider ranges, consistent
(stage count x stage length within the lateral), from a fixed seed. The
Predict loop is timed on a sample of its first --sample designs and scaled
to all of them (a full loop of 2,000 takes 3 to 4 s); PredictBatch is
timed on all, best of --repeat calls. Peak memory is measured in a fresh
interpreter per size: current RSS just before the call and the peak after
it (ru_maxrss), whose difference holds the call's working memory and the
two result tables.

The split is taken on one instrumented call: the geological model wrapped
so that its predict is timed. The result tables are made again as the
module makes them, from the same columns. The monthly models are the booster
library's own time for the same 28 calls on the same rows (through ctypes,
two at a time on two threads as PredictBatch runs them). The bins and bands
and the decline fits are the core's own time without Python, measured by
bench_batch_core on the call's outputs and the driver's bands (--core).
What remains is the module's own work: checks, conversions, the handing
over of the columns.
"""

import argparse
import concurrent.futures
import json
import os
import resource
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings

import numpy as np
import pandas as pd

import quon
from bench_forecast import Clock, TimedGeoModel  # the forecasting benchmark beside this file

COLUMNS = [quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages, quon.strWellLen,
           quon.strFracSpacing, quon.strFluidVolumePerLen]


def designs(n, seed=20261208):
    rng = np.random.default_rng(seed)
    length = rng.uniform(1000.0, 8000.0, n)
    spacing = rng.uniform(100.0, 1000.0, n)
    stages = np.clip(np.floor(length / spacing), 4, 40)
    return pd.DataFrame({
        COLUMNS[0]: rng.uniform(41.38, 41.99, n),
        COLUMNS[1]: rng.uniform(-77.59, -75.56, n),
        COLUMNS[2]: stages,
        COLUMNS[3]: length,
        COLUMNS[4]: np.minimum(spacing, length / stages),  # wells: the stages fit the lateral
        COLUMNS[5]: rng.uniform(100.0, 3000.0, n),
    })


def table_seconds(table, tables):
    """The making of the two result tables as the module makes them: the row
    labels repeated, the months tiled, each float column copied into an
    array, one DataFrame call per table."""
    floats = [{name: t[name].to_numpy() for name in t if name not in ("Design", "Month")} for t in tables]
    months = [0] + list(quon.nOutputMonthList)
    start = time.perf_counter()
    for columns in floats:
        data = {"Design": table.index.to_flat_index().repeat(len(months)),
                "Month": np.tile(np.array(months), len(table))}
        data.update({name: np.array(values) for name, values in columns.items()})
        pd.DataFrame(data)
    return time.perf_counter() - start


def library_seconds(driver, table, workers):
    """Wall time of the 28 in-place predictions on all rows, `workers` at a
    time, through the boosters' public inplace_predict (which releases the
    GIL in the library call; its own overhead is small for many rows)."""
    geo = driver.m_geoModelDict[quon.strISIP]
    isip = geo.predict(table[[COLUMNS[0], COLUMNS[1]]].to_numpy().tolist())
    rows = np.ascontiguousarray(np.column_stack(
        [table[COLUMNS[0]], table[COLUMNS[1]], table[COLUMNS[2]], isip, table[COLUMNS[3]],
         table[COLUMNS[4]], table[COLUMNS[5]]]), dtype=np.float64)
    boosters = []
    for month in quon.nOutputMonthList:
        model = driver.m_modelDict[month]
        try:
            end = model.best_iteration + 1
        except AttributeError:
            end = 0
        boosters.append((model.get_booster(), end, model.get_params()["missing"]))

    def predict(item):
        booster, end, missing = item
        booster.inplace_predict(rows, iteration_range=(0, end), missing=missing)
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        list(pool.map(predict, boosters))
    return time.perf_counter() - start


def core_figures(core, driver, cums, n):
    """bench_batch_core on the call's outputs and the driver's bands."""
    months = quon.nOutputMonthList
    outputs = cums["Model Output"].to_numpy().reshape(n, -1)[:, 1:]
    bins = quon.numBins
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(struct.pack("<3Q", n, len(months), bins))
        f.write(np.asarray(months, dtype="<f8").tobytes())
        for m in months:
            bands = driver.m_modelProbBinned[m]
            f.write(np.asarray(driver.m_boundList[m][:bins], dtype="<f8").tobytes())
            f.write(np.asarray([bands[k]["P10"] or 0.0 for k in range(bins)], dtype="<f8").tobytes())
            f.write(np.asarray([bands[k]["P90"] or 0.0 for k in range(bins)], dtype="<f8").tobytes())
            f.write(np.asarray([bands[k]["P10"] is not None for k in range(bins)], dtype="<f8").tobytes())
        f.write(np.ascontiguousarray(outputs, dtype="<f8").tobytes())
        path = f.name
    try:
        out = subprocess.run([core, path], check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(path)
    return {k: float(v) for k, v in (line.split() for line in out.splitlines())}


MEMORY_PROBE = textwrap.dedent("""
    import json, resource, sys, warnings
    sys.path.insert(0, {bench_dir!r})
    import quon
    from bench_batch import designs
    warnings.simplefilter("ignore")
    d = quon.CMainDravex()
    d.Process()
    table = designs({n})
    d.PredictBatch(table.iloc[:10])
    with open("/proc/self/statm") as f:
        before = int(f.read().split()[1]) * resource.getpagesize()
    rates, cums = d.PredictBatch(table)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({{"before": before, "peak": peak, "rows": len(rates)}}))
""")


def memory(n):
    code = MEMORY_PROBE.format(bench_dir=os.path.dirname(os.path.abspath(__file__)), n=n)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                         env=dict(os.environ))
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--core", help="path of bench_batch_core (the core's bands and fits alone)")
    parser.add_argument("--designs", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sample", type=int, default=100)
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # the single fits' covariance notice

    driver = quon.CMainDravex()
    driver.Process()
    if not driver.m_modelDict:
        sys.exit("no play beside %s: run `make build` first" % quon.__file__)
    load = os.getloadavg()
    n = args.designs
    table = designs(n)

    driver.PredictBatch(table.iloc[:50])  # warm up
    batch = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        rates, cums = driver.PredictBatch(table)
        batch.append(time.perf_counter() - start)
    best = min(batch)

    sample = table.iloc[:args.sample]
    start = time.perf_counter()
    for row in sample.itertuples(index=False):
        driver.Predict(*row, 0)
    loop_per_design = (time.perf_counter() - start) / len(sample)
    loop = loop_per_design * n

    # One instrumented call for the split.
    clock = Clock()
    geo = driver.m_geoModelDict[quon.strISIP]
    driver.m_geoModelDict = {quon.strISIP: TimedGeoModel(geo, clock)}
    try:
        start = time.perf_counter()
        driver.PredictBatch(table)
        total = time.perf_counter() - start
    finally:
        driver.m_geoModelDict = {quon.strISIP: geo}
    tables = min(table_seconds(table, (rates, cums)) for _ in range(3))
    workers = max(1, os.cpu_count() or 1)
    models = min(library_seconds(driver, table, workers) for _ in range(3))
    models_one = min(library_seconds(driver, table, 1) for _ in range(3))
    core = core_figures(args.core, driver, cums, n) if args.core and os.path.exists(args.core) else None

    sizes = [n, 10 * n]
    mem = {size: memory(size) for size in sizes}

    # The demo play's months continue the previous month's trees: the count
    # that sets the work is the trees of all 28 models.
    trees = sum(driver.m_modelDict[m].get_booster().num_boosted_rounds() for m in driver.m_modelDict)
    print("batch forecasting benchmark, play %s (28 monthly models, %d trees in all)"
          % (os.path.relpath(driver.m_filesDir), trees))
    print("machine: %d cores, %s; load average %.2f / %.2f / %.2f (1/5/15 min) at the start"
          % (os.cpu_count(), os.uname().machine, *load))
    print()
    print("PredictBatch, %d designs: best %.3f s of %d calls (median %.3f s): %.0f designs/s (target at least 10,000)"
          % (n, best, args.repeat, sorted(batch)[len(batch) // 2], n / best))
    print("loop of Predict: %.2f ms per design over the first %d designs, scaled to %d: %.1f s"
          % (1000 * loop_per_design, len(sample), n, loop))
    print("PredictBatch is %.0fx the loop of Predict (target at least 50x, set when a Predict took 10 ms;"
          " it now takes %.1f ms)" % (loop / best, 1000 * loop_per_design))
    print()
    print("where a PredictBatch of %d designs goes (one instrumented call, %.3f s):" % (n, total))
    rows = [("geological model (its predict, all rows)", clock.totals.get("geological model", 0.0))]
    rows.append(("monthly models (28 library calls, %d at a time)" % workers, models))
    if core:
        fits = core["batch_threads_ms"] / 1000 - core["widen_ms"] / 1000
        rows.append(("bins and bands (core)", core["widen_ms"] / 1000))
        rows.append(("decline fits, %d x 3 (core, %d threads)" % (n, int(core["threads"])), fits))
    rows.append(("result tables (2 DataFrames)", tables))
    # The parts were timed apart from the call: the rest holds the module's
    # own work (checks, conversions, the handing over of columns) and the
    # differences between separate timings on a shared machine.
    rows.append(("the rest (module's own work, timing differences)", total - sum(s for _, s in rows)))
    for name, seconds in rows:
        print("  %-48s %8.1f ms  %5.1f %%" % (name, 1000 * seconds, 100 * seconds / total))
    print("  (the monthly models one at a time: %.1f ms" % (1000 * models_one), end="")
    if core:
        print("; the fits on one thread: %.1f ms, %.1f us per fit; failed fits: %d)"
              % (core["batch_1_thread_ms"] - core["widen_ms"],
                 1000 * (core["batch_1_thread_ms"] - core["widen_ms"]) / (3 * n), core["failed_fits"]))
    else:
        print("; run with --core build/bench_batch_core for the bands and fits)")
    print()
    print("peak memory of PredictBatch in a fresh interpreter (RSS before the call, peak after):")
    for size in sizes:
        m = mem[size]
        growth = m["peak"] - m["before"]
        print("  %6d designs (%7d rows): %5.0f MiB before, %5.0f MiB peak, %5.1f MiB for the call, %.1f KiB a design"
              % (size, m["rows"], m["before"] / 2**20, m["peak"] / 2**20, growth / 2**20, growth / 1024 / size))
    small, large = (mem[s]["peak"] - mem[s]["before"] for s in sizes)
    print("  the call's memory grows %.1fx for %dx the designs: %.1f KiB for each further design"
          % (large / small, sizes[1] // sizes[0], (large - small) / 1024 / (sizes[1] - sizes[0])))


if __name__ == "__main__":
    main()

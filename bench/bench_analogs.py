"""Benchmark of the analog ranking: rank_by_analogs on synthetic reservoirs
against synthetic field projects, and evaluate_analogs (leave-one-out) on the
projects.

    PYTHONPATH=build /usr/bin/python3 bench/bench_analogs.py [--reservoirs 10000]
                                                           [--projects 10000] [--repeat 3]

Both tables carry the seven survey parameters (gravity, viscosity, depth,
net pay, permeability, porosity, temperature) with 10 % of the values
missing, from a fixed seed; the projects carry nine method labels. Each
figure is the best of --repeat calls of the whole module function (reading
the tables, the search, the vote, the first method's screen and the result
tables); the target is 10,000 x 10,000 in at most 1 s. The processor time of
all threads is printed beside the wall time: on a shared machine the wall
time also holds the waits for a core.
"""
import argparse
import os
import time
import warnings

import numpy as np
import pandas as pd

COLUMNS = [("oil_density_max_val_deg_api", 8.0, 50.0, False), ("oil_viscosity_max_val_cp", 0.3, 1e5, True),
           ("top_depth_feet", 300.0, 15000.0, False), ("net_thickn_max_val_feet", 5.0, 500.0, True),
           ("permeab_avg_md", 0.5, 10000.0, True), ("porosity_avg_pct", 5.0, 35.0, False),
           ("temp_max_val_deg_c", 15.0, 150.0, False)]
LABELS = ["Steam", "In-situ combustion", "CO2 miscible", "CO2 immiscible", "Hydrocarbon miscible",
          "Nitrogen", "Polymer", "ASP", "Microbial"]


def table(n, seed, labels):
    rng = np.random.default_rng(seed)
    cols = {}
    for name, lo, hi, log in COLUMNS:
        v = 10 ** rng.uniform(np.log10(lo), np.log10(hi), n) if log else rng.uniform(lo, hi, n)
        v[rng.random(n) < 0.1] = np.nan
        cols[name] = v
    t = pd.DataFrame(cols)
    if labels:
        t["method"] = rng.choice(LABELS, n)
    return t


def best_of(repeat, f):
    """Best wall time of repeat calls, and the processor time (all threads) of that call."""
    times = []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        f()
        times.append((time.perf_counter() - t0, time.process_time() - c0))
    return min(times)


def main():
    import zelt

    ap = argparse.ArgumentParser()
    ap.add_argument("--reservoirs", type=int, default=10000)
    ap.add_argument("--projects", type=int, default=10000)
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    reservoirs = table(a.reservoirs, 1, False)
    projects = table(a.projects, 2, True)
    print(f"analogs benchmark ({os.cpu_count()} cores, k = 7, best of {a.repeat})")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # reservoirs with too few values are reported
        wall, cpu = best_of(a.repeat, lambda: zelt.rank_by_analogs(reservoirs, projects))
        print(f"  rank_by_analogs   {a.reservoirs:>7,} reservoirs x {a.projects:>7,} projects: "
              f"{wall:7.3f} s wall, {cpu:6.3f} s processor (target 1 s wall)")
        wall, cpu = best_of(a.repeat, lambda: zelt.evaluate_analogs(projects, verbose=False))
        print(f"  evaluate_analogs  {a.projects:>7,} projects, leave-one-out:            "
              f"{wall:7.3f} s wall, {cpu:6.3f} s processor")
    print(f"  load average when done: {os.getloadavg()[0]:.1f} (a wall time above the processor "
          "time over the cores means other work shared them)")


if __name__ == "__main__":
    main()

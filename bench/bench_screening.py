"""Benchmark of both screening pipelines on synthetic reservoir tables.

    PYTHONPATH=build /usr/bin/python3 bench/bench_screening.py [--sizes 1000 10000 100000]
                                                             [--core build/bench_core]

For every size and pipeline, in a fresh process (so that peak memory is that
call's own): reservoirs per second of halvane_zelt and uom_zelt (best of a few calls),
the peak resident memory of the process, and the growth of the peak over the
table itself. The explanations (explain_halvane_zelt, explain_uom_zelt: 165
and 96 rows per reservoir) are timed the same way up to --explain-max
reservoirs (default 10,000). The summaries (summary_halvane_zelt,
summary_uom_zelt: one row per reservoir and method) are timed at every size,
with their time over their pipeline's (target: at most 1.5). With --core,
the numeric core is timed on its own by the C++ benchmark, and the rest of
the call (conversion and table building) is the difference.
"""
import argparse
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from synthetic_reservoirs import synthetic_reservoirs as synthetic_table  # noqa: E402


def peak_rss_mib():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def run_one(n, pipeline, repeats):
    """Times one pipeline on n reservoirs in this process; prints JSON."""
    import time
    import zelt

    table = synthetic_table(n)
    before = peak_rss_mib()
    fn = getattr(zelt, pipeline)
    best = float("inf")
    for _ in range(repeats):
        copy = table.copy()
        start = time.perf_counter()
        out = fn(copy)
        best = min(best, time.perf_counter() - start)
        del out, copy
    print(json.dumps({"n": n, "seconds": best, "rss_before_mib": before,
                      "peak_rss_mib": peak_rss_mib()}))


# Pipeline -> the C++ benchmark's column of its core's us per reservoir.
CORE_COLUMN = {"halvane_zelt": "first_us/res", "uom_zelt": "2019_us/res",
               "explain_halvane_zelt": "first_ex_us/res", "explain_uom_zelt": "2019_ex_us/res"}


def core_figures(core_binary, sizes):
    """n -> {pipeline: us per reservoir of its core} from the C++ benchmark."""
    out = subprocess.run([core_binary] + [str(n) for n in sizes], check=True,
                         capture_output=True, text=True).stdout
    lines = out.splitlines()
    header = lines[0].split()
    figures = {}
    for line in lines[1:]:
        fields = line.split()
        if fields and re.fullmatch(r"\d+", fields[0]):
            figures[int(fields[0])] = {p: float(fields[header.index(c)]) for p, c in CORE_COLUMN.items()}
    return figures


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--core", help="path of the C++ core benchmark (bench_core)")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--pipeline", default="halvane_zelt", help=argparse.SUPPRESS)
    parser.add_argument("--repeats", type=int, default=0, help="calls per pipeline (default by size)")
    parser.add_argument("--explain-max", type=int, default=10000,
                        help="largest table the explanations are timed on (default 10000)")
    args = parser.parse_args(argv)

    if args.one:
        repeats = args.repeats or (5 if args.one <= 10000 else 2)
        run_one(args.one, args.pipeline, repeats)
        return 0

    core = core_figures(args.core, args.sizes) if args.core and os.path.exists(args.core) else {}
    print(f"{'reservoirs':>10} {'pipeline':>20} {'total_s':>9} {'res/s':>10} "
          f"{'core_s':>8} {'tables_s':>9} {'peak_MiB':>9} {'growth_MiB':>10} {'x_pipeline':>10}")
    for n in args.sizes:
        names = ["halvane_zelt", "uom_zelt", "summary_halvane_zelt", "summary_uom_zelt"]
        if n <= args.explain_max:
            names += ["explain_halvane_zelt", "explain_uom_zelt"]
        totals = {}
        for name in names:
            proc = subprocess.run([sys.executable, __file__, "--one", str(n), "--pipeline", name] +
                                  (["--repeats", str(args.repeats)] if args.repeats else []),
                                  check=True, capture_output=True, text=True)
            r = json.loads(proc.stdout.strip().splitlines()[-1])
            total = totals[name] = r["seconds"]
            core_s = core[n][name] * n / 1e6 if n in core and name in core[n] else float("nan")
            # A summary's or explanation's time over its own pipeline's.
            ratio = total / totals[name.split("_", 1)[1]] if "_" in name and name.split("_", 1)[0] in (
                "summary", "explain") else float("nan")
            print(f"{n:>10} {name:>20} {total:>9.3f} {n / total:>10.0f} {core_s:>8.3f} "
                  f"{total - core_s:>9.3f} {r['peak_rss_mib']:>9.0f} "
                  f"{r['peak_rss_mib'] - r['rss_before_mib']:>10.0f} {ratio:>10.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Screens the bundled sample reservoirs with both methods and prints, for
each reservoir, its three best-scoring recovery methods next to the method
actually applied in the field.

    PYTHONPATH=build /usr/bin/python3 examples/screen_sample_fields.py [table.csv] [--out DIR]

With --out, the returned tables are also written there as CSV files.
"""
import argparse
import os
import sys

import pandas as pd

import zelt

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TABLE = os.path.join(HERE, "..", "data", "sample_reservoirs.csv")


def best_methods(score_df, count=3):
    """Reservoir_ID -> the `count` best (method, score) pairs, best first."""
    best = {}
    ordered = score_df.sort_values("Score", ascending=False, kind="mergesort")
    for resv_id, group in ordered.groupby("Reservoir_ID", sort=False):
        best[resv_id] = list(zip(group["ZeltMethod"], group["Score"]))[:count]
    return best


def describe(pairs):
    return ", ".join(f"{method} {score:+.1f}" for method, score in pairs)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table", nargs="?", default=DEFAULT_TABLE)
    parser.add_argument("--out", help="directory for the returned tables as CSV")
    args = parser.parse_args(argv)

    reservoirs = pd.read_csv(args.table)
    applied = None
    if "applied_methods" in reservoirs.columns:
        applied = dict(zip(reservoirs["resv_id"], reservoirs["applied_methods"]))

    first = zelt.halvane_zelt(reservoirs.copy())
    second = zelt.uom_zelt(reservoirs.copy())
    names = dict(zip(reservoirs["resv_id"], reservoirs["reservoir_unit_name"]))

    best_first = best_methods(first[0])
    best_second = best_methods(second[0])
    print(f"{len(reservoirs)} reservoirs screened; "
          f"{len(first[0])} first-method and {len(second[0])} 2019 scores.\n")
    for resv_id in reservoirs["resv_id"]:
        print(f"{resv_id}  {names[resv_id]}")
        if applied is not None:
            print(f"    applied:      {applied[resv_id]}")
        print(f"    first method: {describe(best_first[resv_id])}")
        print(f"    2019 method:  {describe(best_second[resv_id])}")

    if args.out:
        os.makedirs(args.out, exist_ok=True)
        labels = {
            "halvane_scores.csv": first[0], "halvane_screening_table.csv": first[1],
            "halvane_field_data.csv": first[2], "halvane_pressure_window.csv": first[3],
            "uom_scores.csv": second[0], "uom_screening_table.csv": second[1],
            "uom_p_values.csv": second[2], "uom_field_data.csv": second[3],
        }
        for name, table in labels.items():
            table.to_csv(os.path.join(args.out, name), index=False)
        print(f"\ntables written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

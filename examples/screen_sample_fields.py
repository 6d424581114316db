"""Screens the bundled sample reservoirs with both methods and prints, for
each reservoir, the recovery methods ranked among its best three (tied
methods share a rank) next to the method actually applied in the field.

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


def best_methods(score_df, ranks=3):
    """Reservoir_ID -> [(score, [methods])], best score first, for the methods
    ranked within the first `ranks` (rank = 1 + the number of methods scoring
    strictly higher, so tied methods share a rank)."""
    best = {}
    for resv_id, group in score_df.groupby("Reservoir_ID", sort=False):
        levels = []
        ranked = 0
        for score, methods in sorted(group.groupby("Score")["ZeltMethod"], reverse=True,
                                     key=lambda item: item[0]):
            if ranked >= ranks:
                break
            levels.append((score, sorted(methods)))
            ranked += len(methods)
        best[resv_id] = levels
    return best


def describe(levels):
    return "; ".join(f"{score:+.1f} {', '.join(methods)}" for score, methods in levels)


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

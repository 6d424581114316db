"""Ranks recovery methods for reservoirs by their nearest field projects with
the zelt module, and measures the ranking on the project table itself.

    PYTHONPATH=build /usr/bin/python3 examples/rank_by_analogs.py [reservoirs.csv]
        [--projects data/field_projects.csv] [--k 7] [--group field] [--top 3]

The reservoirs table has the screening input columns (see README.md); without
one, three example prospects are ranked (a shallow heavy oil, a deep light
carbonate oil and a medium oil in sandstone). The projects table has the same
columns, a "method" column with the method each project applied and an
optional "outcome" column; the default is the bundled data/field_projects.csv
(16 usable projects of public record, see docs/analogs.md: a table that small
shows how the ranking works, it does not measure how well it does).

Printed: per reservoir the best --top methods with their support and the
family the screen knocks out, the nearest projects with their distance and
outcome, then the leave-one-out figures of evaluate_analogs (every project of
the same --group value left out together). What the module warns about is
printed as a note. Bad input ends the script with one line on stderr and
exit status 2.
"""
import argparse
import os
import sys
import warnings

import pandas as pd

import zelt

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))

PROSPECTS = pd.DataFrame({
    "resv_id": ["P-heavy", "P-carbonate", "P-sandstone"],
    "reservoir_unit_name": ["Shallow heavy oil", "Deep light carbonate oil", "Medium oil in sandstone"],
    "oil_density_max_val_deg_api": [12.0, 41.0, 24.0],
    "oil_viscosity_max_val_cp": [20000.0, 1.2, 60.0],
    "top_depth_feet": [1100.0, 8200.0, 3500.0],
    "net_thickn_max_val_feet": [90.0, 180.0, 35.0],
    "permeab_avg_md": [2500.0, 400.0, 900.0],
    "porosity_avg_pct": [31.0, 9.0, 26.0],
    "temp_max_val_deg_c": [25.0, 90.0, 45.0],
})


def noted(call, *args, **kwargs):
    """The call's result, its warnings printed as notes."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(*args, **kwargs)
    for w in caught:
        print(f"  note: {w.message}")
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("reservoirs", nargs="?")
    ap.add_argument("--projects", default=os.path.join(ROOT, "data", "field_projects.csv"))
    ap.add_argument("--k", type=int, default=7)
    ap.add_argument("--group", default="field")
    ap.add_argument("--top", type=int, default=3)
    a = ap.parse_args()
    try:
        reservoirs = pd.read_csv(a.reservoirs) if a.reservoirs else PROSPECTS
        projects = pd.read_csv(a.projects)
        print(f"Ranking {len(reservoirs)} reservoirs by {len(projects)} field projects ({a.projects}), k = {a.k}")
        ranking, analogs = noted(zelt.rank_by_analogs, reservoirs, projects, k=a.k)
        group = a.group if a.group and a.group in projects.columns else None
        names = dict(zip(reservoirs.get("resv_id", reservoirs.index), reservoirs.get("reservoir_unit_name", reservoirs.index)))
        for rid, g in ranking.groupby("Reservoir_ID", sort=False):
            print(f"\n{rid}: {names.get(rid, '')}")
            for _, row in g.head(a.top).iterrows():
                ko = "  (knocked out by the screen on a reported value)" if row["KnockedOut"] else ""
                print(f"  {row['Rank']:>2}. {row['Method']:<22} {row['Family'] or 'no family':<16} "
                      f"support {row['Support']:.2f}{ko}")
            out = g[g["KnockedOut"]]
            if not out.empty:
                print("      knocked out: " + ", ".join(out["Method"]))
            near = analogs[analogs["Reservoir_ID"] == rid].head(3)
            for _, n in near.iterrows():
                field = projects.loc[n["Project"], "reservoir_unit_name"] if "reservoir_unit_name" in projects else n["Project"]
                print(f"      analog {n['Neighbour']}: {field} ({n['Method']}, {n['Outcome']}), distance {n['Distance']:.2f}")
        print()
        noted(zelt.evaluate_analogs, projects, k=a.k, group=group)
    except (OSError, KeyError, ValueError, TypeError) as e:
        print(f"rank_by_analogs.py: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    from closed_pipe import tolerate_early_reader_exit
    tolerate_early_reader_exit()
    sys.exit(main())

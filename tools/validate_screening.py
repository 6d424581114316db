"""Checks the screening module against field data kept in the repository.

    PYTHONPATH=build /usr/bin/python3 tools/validate_screening.py   (make validate)

Prints two tables:

1. The module's MMP (zelt.mmp: Lange's correlation on Peng-Robinson
   densities) against the measured MMPs of data/mmp_measured.csv that carry
   an oil gravity and a temperature, each with its source and the difference
   in percent of the measurement; the points without them are counted.
2. For each reservoir of data/sample_reservoirs.csv, the methods applied in
   the field (its applied_methods column: the first-method names, then after
   "2019:" the 2019 names) with their score and rank among all methods of
   that reservoir, both methods run on the whole table. Rank = 1 + the
   number of methods that score strictly higher, so tied methods share a
   rank; "tied with n" counts the other methods with the same score.
"""
import math
import os
import re
import sys

import pandas as pd

import zelt

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
MEASURED = os.path.join(ROOT, "data", "mmp_measured.csv")
SAMPLE = os.path.join(ROOT, "data", "sample_reservoirs.csv")
# Measured gas -> the module's gas of the same kind.
GAS = {"CO2": "co2", "HC": "hc", "N2": "n2"}


def mmp_comparison(path=MEASURED):
    """(rows, skipped): one dict per measured MMP with gravity and
    temperature (module MMP and percent difference added), and the number
    of points without them."""
    points = pd.read_csv(path)
    usable = points["oil_api"].notna() & points["temp_f"].notna() & points["gas"].isin(list(GAS))
    rows = []
    for p in points[usable].to_dict("records"):
        module = zelt.mmp(p["oil_api"], p["temp_f"], GAS[p["gas"]])
        rows.append({**p, "module_psi": module, "difference_pct": 100.0 * (module - p["mmp_psi"]) / p["mmp_psi"]})
    return rows, int((~usable).sum())


def applied_methods(text):
    """(first-method names, 2019 names) of an applied_methods cell such as
    "Polymer Flooding; ASP / 2019: Polymer Flooding; Surfactant / what was done".
    A note in brackets after a name is left out; "(no first-method analogue)"
    names none."""
    parts = [p.strip() for p in str(text).split(" / ")]
    first = parts[0] if parts and not parts[0].startswith("2019:") else ""
    second = next((p[len("2019:"):] for p in parts if p.startswith("2019:")), "")

    def names(part):
        found = [re.sub(r"\s*\(.*\)$", "", n.strip()) for n in part.split(";")]
        return [n for n in found if n]

    return names(first), names(second)


def rank(scores, method):
    """(score, rank, tied) of `method` among {method: score}."""
    score = scores[method]
    higher = sum(1 for s in scores.values() if s > score)
    tied = sum(1 for m, s in scores.items() if s == score and m != method)
    return score, 1 + higher, tied


def rank_text(scores, methods):
    if not methods:
        return "no analogue"
    items = []
    for m in methods:
        if m not in scores:
            items.append(f"{m}: not a method here")
            continue
        score, place, tied = rank(scores, m)
        items.append(f"{m} {score + 0.0:+.1f}, rank {place}" + (f" (tied with {tied})" if tied else ""))
    return "; ".join(items)


def rank_table(path=SAMPLE):
    """One row per sample reservoir: id, name, and the applied methods'
    scores and ranks under each method."""
    sample = pd.read_csv(path)
    per_method = []
    for pipeline in (zelt.halvane_zelt, zelt.uom_zelt):
        scores = pipeline(sample.copy())[0]
        per_method.append({r: dict(zip(g["ZeltMethod"], g["Score"])) for r, g in scores.groupby("Reservoir_ID")})
    rows = []
    for resv_id, name, text in sample[["resv_id", "reservoir_unit_name", "applied_methods"]].values:
        first, second = applied_methods(text)
        ranks = [[rank(per_method[k][resv_id], m)[1] for m in names if m in per_method[k][resv_id]]
                 for k, names in enumerate((first, second))]
        rows.append({"id": resv_id, "name": name, "first": rank_text(per_method[0][resv_id], first),
                     "second": rank_text(per_method[1][resv_id], second), "ranks": ranks})
    return rows


def main():
    rows, skipped = mmp_comparison()
    print(f"1. Minimum miscibility pressure: the module against measurements ({os.path.relpath(MEASURED, ROOT)})")
    print(f"{'point':<6} {'oil':<34} {'gas':<4} {'API':>6} {'T °F':>6} {'measured psi':>12} "
          f"{'module psi':>10} {'diff %':>7}  source, how measured")
    for r in rows:
        source = r["source"].split("'")[0].strip()     # authors and year, before the title
        method = r["method"].split(" (")[0]
        print(f"{r['point_id']:<6} {r['oil_or_field'][:34]:<34} {r['gas']:<4} {r['oil_api']:>6.2f} "
              f"{r['temp_f']:>6.1f} {r['mmp_psi']:>12,.0f} {r['module_psi']:>10,.0f} "
              f"{r['difference_pct']:>+7.1f}  {source}, {method}")
    worst = max((abs(r["difference_pct"]) for r in rows), default=math.nan)
    print(f"{len(rows)} points, largest difference {worst:.1f} %; {skipped} points without oil gravity or "
          "temperature cannot be run through the module.\n")

    print(f"2. Applied methods of the sample reservoirs ({os.path.relpath(SAMPLE, ROOT)}): score and rank "
          "among all methods,\n   ties share the better rank")
    table = rank_table()
    for r in table:
        print(f"{r['id']:<5} {r['name']}")
        print(f"      first method: {r['first']}")
        print(f"      2019 method:  {r['second']}")
    for k, label in enumerate(("first method", "2019 method")):
        with_analogue = [r for r in table if r["ranks"][k]]
        best = sum(1 for r in with_analogue if min(r["ranks"][k]) <= 3)
        print(f"{label}: an applied method among the best three (ties shared) for {best} of the "
              f"{len(with_analogue)} reservoirs that have one")
    return 0


if __name__ == "__main__":
    sys.exit(main())

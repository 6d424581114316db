"""Screens oil reservoirs for enhanced oil recovery with both methods of the
zelt module and reports, per reservoir, the best three methods of each method
family and what held each of them back.

    PYTHONPATH=build /usr/bin/python3 examples/screen_reservoirs.py [reservoirs.csv|.xlsx] [--out DIR]

The input table (CSV, or the first worksheet of an Excel file) has one row per
reservoir with the columns the modules read (see README.md); without one, the
bundled data/sample_reservoirs.csv is screened. Written to DIR (default out/
in the current directory):

- screening.xlsx: one worksheet per table returned by halvane_zelt and uom_zelt;
- screening_scores.png: heat map of the scores, one panel per method family.

For the first method the report names every parameter outside the method's
limits, with the reservoir's value, the limit it misses and the points that
parameter scores (+10 when inside, -1 to -10 outside); a violated parameter
that the reference file marks as a stopper knocks the method out (-1.0).
For the 2019 method it names every parameter with a p-value below 1, with
its weight and the recommended and field-project ranges it was rated against.
"""
import argparse
import copy
import datetime
import math
import os
import sys
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import zelt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TABLE = os.path.join(HERE, "..", "data", "sample_reservoirs.csv")
BEST = 3

FIRST = "first method"
SECOND = "2019 method"

# Worksheet name -> (method family, position in the tuple the module returns).
SHEETS = {
    "halvane_zelt scores": (FIRST, 0),
    "halvane_zelt limits": (FIRST, 1),
    "halvane_zelt field data": (FIRST, 2),
    "halvane_zelt pressure window": (FIRST, 3),
    "uom_zelt scores": (SECOND, 0),
    "uom_zelt limits": (SECOND, 1),
    "uom_zelt p-values": (SECOND, 2),
    "uom_zelt field data": (SECOND, 3),
}

# The workbook's creation date is stored in it; a fixed one keeps the file
# identical from run to run.
WORKBOOK_DATE = datetime.datetime(2024, 1, 1)


# -------------------------------------------------------------------- input

def read_reservoirs(path):
    """The reservoir table of a CSV or Excel file, column names in lower case
    (the modules match them so) and a default index (the report below walks
    the rows by position)."""
    if os.path.splitext(path)[1].lower() in (".xlsx", ".xlsm", ".xls"):
        table = pd.read_excel(path)
    else:
        table = pd.read_csv(path)
    table.columns = [str(c).lower() for c in table.columns]
    return table.reset_index(drop=True)


def read_reference(name):
    """A reference limits file as the modules read it, from beside the module."""
    return pd.read_csv(zelt.get_filepath(name), na_values=["MMP"],
                       index_col=["ScreeningParam", "ZeltMethod"])


def unit_labels(file_df, display_df):
    """Bare parameter name -> display label with unit. The returned reference
    table lists the file's lines in file order within each category block, so
    its first block lines up with the file."""
    return dict(zip(file_df.index.get_level_values("ScreeningParam"),
                    display_df["ScreeningParam"].iloc[:len(file_df)]))


def number(v):
    if isinstance(v, float) and math.isnan(v):
        return "unknown"
    return f"{v:,.0f}" if abs(v) >= 100 else f"{v:.3g}"


# ------------------------------------------------ why a first-method score

def first_method_shortfalls(field_data, pressure_window):
    """(Reservoir_ID, method) -> list of the parameters outside the method's
    limits, each a dict with the value, the limit missed, the points the
    parameter scores and whether it is a stopper.

    The module's own step functions are driven as halvane_zelt drives them:
    every reservoir is measured by get_diff against a fresh copy of the
    reference limits (get_diff rewrites the pressure, polymer and ASP limits
    of the table it is given for that reservoir), and the points come from
    get_screening_param_score over all reservoirs of the call, since the
    first method scales each violation by the smallest and largest of that
    parameter in the call."""
    file_df = read_reference("screening_table.csv")
    params = list(dict.fromkeys(file_df.index.get_level_values("ScreeningParam")))
    # The pressure window lists the methods in the module's loop order, which
    # get_diff needs: the horizontal miscible gas methods set the MMP limits
    # of their vertical twins.
    first_id = pressure_window["Reservoir_ID"].iloc[0]
    methods = list(dict.fromkeys(
        pressure_window.loc[pressure_window["Reservoir_ID"] == first_id, "ZeltMethod"]))
    reference = {p: {m: {c: file_df.loc[(p, m), c] for c in ("Min", "Max", "Stopper")}
                     for m in methods} for p in params}

    records = [dict(row) for _, row in field_data.iterrows()]
    diffs, limits = [], []
    for idx, record in enumerate(records):
        mmps = zelt.get_mmp(idx, {"resv_id": record["Reservoir_ID"]}, record)
        table = copy.deepcopy(reference)
        diffs.append(zelt.get_diff(0, record, [mmps], table, methods, params))
        limits.append(table)
    bounds = zelt.get_min_max(diffs, params)
    points = zelt.get_screening_param_score(diffs, bounds, methods, params)

    shortfalls = {}
    for idx, record in enumerate(records):
        for m in methods:
            found = []
            for p in params:
                if math.isnan(diffs[idx][p][m]):
                    continue
                value = record[p]
                cell = limits[idx][p][m]
                side = "Min" if value < cell["Min"] else "Max"
                file_value = reference[p][m][side]
                found.append({
                    "param": p, "value": value, "side": side, "limit": cell[side],
                    "from_mmp": math.isnan(file_value),
                    "adjusted": not math.isnan(file_value) and file_value != cell[side],
                    "points": points[idx][p][m],
                    "stopper": bool(reference[p][m]["Stopper"]),
                })
            shortfalls[(record["Reservoir_ID"], m)] = found
    return shortfalls, methods


def describe_first(item, labels):
    relation = "below the minimum" if item["side"] == "Min" else "above the maximum"
    note = " (the MMP)" if item["from_mmp"] else " (set for this reservoir)" if item["adjusted"] else ""
    text = (f"{labels[item['param']]} {number(item['value'])}, {relation} "
            f"{number(item['limit'])}{note}: {item['points']:+.1f} points")
    return ("KNOCK-OUT " if item["stopper"] else "") + text


# ---------------------------------------------------- why a 2019 score

def second_method_shortfalls(p_values, field_data):
    """(Reservoir_ID, method) -> list of the parameters with a p-value below 1,
    largest weighted loss first, each with its value, p-value, weight and the
    four limits it was rated against."""
    file_df = read_reference("screening_table_2019.csv")
    params = [c for c in p_values.columns if c != "ZeltMethod"]
    per_reservoir = len(p_values) // max(1, len(field_data))
    shortfalls = {}
    for k, row in enumerate(p_values.itertuples(index=False)):
        record = field_data.iloc[k // per_reservoir]
        method = row[0]
        found = []
        for p, px in zip(params, row[1:]):
            if px < 1.0:
                limits = file_df.loc[(p, method)]
                found.append({
                    "param": p, "value": record[p], "p": px,
                    "weight": float(limits["Weighting"]),
                    "limits": {c: float(limits[c]) for c in ("Lower", "Min", "Max", "Upper")},
                })
        found.sort(key=lambda f: -f["weight"] * (1.0 - f["p"]))
        shortfalls[(record["Reservoir_ID"], method)] = found
    return shortfalls


def describe_second(item, labels):
    lim = item["limits"]
    if item["value"] < lim["Min"]:
        text = f"below the recommended {number(lim['Min'])}"
        if item["value"] <= lim["Lower"]:
            text += f", at or below the field-project minimum {number(lim['Lower'])}"
    else:
        text = f"above the recommended {number(lim['Max'])}"
        if item["value"] >= lim["Upper"]:
            text += f", at or above the field-project maximum {number(lim['Upper'])}"
    return (f"{labels[item['param']]} {number(item['value'])}: p = {item['p']:+.2f} "
            f"(weight {item['weight']:g}), {text}")


# ------------------------------------------------------------------ report

def best_methods(scores, order, count=BEST):
    """Reservoir_ID -> (the `count` best (method, score), the methods that tie
    with the last of them but are not shown). Ties are broken by the module's
    method order."""
    rank = {m: k for k, m in enumerate(order)}
    best = {}
    for resv_id, group in scores.groupby("Reservoir_ID", sort=False):
        ranked = sorted(zip(group["ZeltMethod"], group["Score"]),
                        key=lambda ms: (-ms[1], rank[ms[0]]))
        shown = ranked[:count]
        tied = [m for m, s in ranked[count:] if shown and s == shown[-1][1]]
        best[resv_id] = (shown, tied)
    return best


def report(reservoirs, families, out=sys.stdout):
    names = dict(zip(reservoirs["resv_id"], reservoirs["reservoir_unit_name"]))
    applied = (dict(zip(reservoirs["resv_id"], reservoirs["applied_methods"]))
               if "applied_methods" in reservoirs.columns else {})
    wrap = textwrap.TextWrapper(width=100, subsequent_indent=" " * 14)
    for resv_id in reservoirs["resv_id"]:
        print(f"{resv_id}  {names[resv_id]}", file=out)
        if isinstance(applied.get(resv_id), str):
            print(wrap.fill(f"    applied:  {applied[resv_id]}"), file=out)
        for family in families:
            shown, tied = family["best"][resv_id]
            print(f"  {family['name']}:", file=out)
            for method, score in shown:
                found = family["shortfalls"][(resv_id, method)]
                knocked = any(f.get("stopper") for f in found)
                status = ("knocked out" if knocked else
                          family["clean"] if not found else "")
                print(f"    {score + 0.0:+.1f}  {method:<18} {status}".rstrip(), file=out)
                for item in found:
                    print(f"            {family['describe'](item)}", file=out)
            if tied:
                print(f"          also {shown[-1][1] + 0.0:+.1f}: {', '.join(tied)}", file=out)
        print(file=out)


# ------------------------------------------------------------------ outputs

def write_workbook(path, tables):
    """One worksheet per table, header row frozen, columns as wide as their
    longest entry (within limits)."""
    with pd.ExcelWriter(path, engine="xlsxwriter") as writer:
        writer.book.set_properties({"created": WORKBOOK_DATE})
        for sheet, table in tables.items():
            table.to_excel(writer, sheet_name=sheet, index=False, freeze_panes=(1, 0))
            worksheet = writer.sheets[sheet]
            for col, name in enumerate(table.columns):
                values = table[name]
                if values.dtype.kind == "f":
                    longest = max((len(f"{v:.10g}") for v in values), default=0)
                else:
                    longest = max((len(str(v)) for v in values), default=0)
                worksheet.set_column(col, col, min(max(len(str(name)), longest) + 2, 60))
            worksheet.autofilter(0, 0, len(table), len(table.columns) - 1)


def score_grid(scores, resv_ids, methods):
    wide = scores.pivot(index="Reservoir_ID", columns="ZeltMethod", values="Score")
    return wide.loc[resv_ids, methods].to_numpy(dtype=float)


def short_name(text, width=38):
    return text if len(text) <= width else text[:width - 1].rstrip() + "\u2026"


def plot_scores(path, reservoirs, panels):
    """Reservoirs x methods heat map of the scores, one panel per method
    family, on one colour scale from -1 to 1; each cell shows its score and
    a knocked-out first-method cell shows KO."""
    resv_ids = list(reservoirs["resv_id"])
    rows = [f"{rid}  {short_name(str(name))}"
            for rid, name in zip(resv_ids, reservoirs["reservoir_unit_name"])]
    widths = [len(p["methods"]) for p in panels]
    fig, axes = plt.subplots(
        1, len(panels), figsize=(0.42 * sum(widths) + 5.5, 0.36 * len(rows) + 3.4),
        gridspec_kw={"width_ratios": widths}, layout="constrained", squeeze=False)
    cmap = plt.get_cmap("RdYlGn")
    image = None
    for k, (ax, panel) in enumerate(zip(axes[0], panels)):
        grid = score_grid(panel["scores"], resv_ids, panel["methods"])
        image = ax.imshow(grid, cmap=cmap, vmin=-1.0, vmax=1.0, aspect="auto")
        for i, rid in enumerate(resv_ids):
            for j, method in enumerate(panel["methods"]):
                knocked = (rid, method) in panel.get("knocked_out", ())
                text = "KO" if knocked else f"{grid[i, j] + 0.0:.1f}"   # no "-0.0"
                shade = cmap((grid[i, j] + 1.0) / 2.0)
                light = 0.299 * shade[0] + 0.587 * shade[1] + 0.114 * shade[2] > 0.5
                ax.text(j, i, text, ha="center", va="center", fontsize=7.5,
                        color="black" if light else "white")
        ax.set_xticks(range(len(panel["methods"])), panel["methods"],
                      rotation=55, ha="right", rotation_mode="anchor", fontsize=9)
        ax.set_yticks(range(len(rows)), rows if k == 0 else [""] * len(rows), fontsize=9)
        if k > 0:
            ax.tick_params(axis="y", which="major", length=0)
        ax.set_xticks(np.arange(-0.5, len(panel["methods"])), minor=True)
        ax.set_yticks(np.arange(-0.5, len(rows)), minor=True)
        ax.grid(which="minor", color="white", linewidth=0.8)
        ax.tick_params(which="minor", length=0)
        ax.set_title(panel["title"], fontsize=11)
        ax.set_xlabel("recovery method", fontsize=9)
    axes[0][0].set_ylabel("reservoir", fontsize=9)
    bar = fig.colorbar(image, ax=axes[0].tolist(), shrink=0.8, ticks=np.linspace(-1, 1, 9))
    bar.set_label("score (dimensionless): \u22121 unsuitable or knocked out, +1 inside every limit",
                  fontsize=9)
    fig.suptitle(f"EOR screening scores of {len(rows)} reservoirs "
                 "(KO: knocked out by a stopper parameter, score \u22121)", fontsize=12)
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------- main

def screen(reservoirs):
    """Both methods on the reservoir table, and the explanations of their
    scores. The modules rewrite the caller's table, so each gets a copy."""
    first = zelt.halvane_zelt(reservoirs.copy())
    second = zelt.uom_zelt(reservoirs.copy())
    first_why, first_methods = first_method_shortfalls(first[2], first[3])
    second_why = second_method_shortfalls(second[2], second[3])
    methods_2019 = list(dict.fromkeys(second[2]["ZeltMethod"]))
    return first, second, {
        FIRST: {"methods": first_methods, "shortfalls": first_why},
        SECOND: {"methods": methods_2019, "shortfalls": second_why},
    }


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table", nargs="?", default=DEFAULT_TABLE,
                        help="reservoir table, .csv or .xlsx (default: the bundled sample)")
    parser.add_argument("--out", default="out", help="output folder (default: out)")
    args = parser.parse_args(argv)

    reservoirs = read_reservoirs(args.table)
    if reservoirs.empty:
        parser.error(f"{args.table} holds no reservoirs")
    first, second, why = screen(reservoirs)
    first_labels = unit_labels(read_reference("screening_table.csv"), first[1])
    second_labels = unit_labels(read_reference("screening_table_2019.csv"), second[1])

    families = [
        {"name": "first method (halvane_zelt)", "clean": "inside every limit",
         "best": best_methods(first[0], why[FIRST]["methods"]),
         "shortfalls": why[FIRST]["shortfalls"],
         "describe": lambda item: describe_first(item, first_labels)},
        {"name": "2019 method (uom_zelt)", "clean": "every parameter in its recommended range",
         "best": best_methods(second[0], why[SECOND]["methods"]),
         "shortfalls": why[SECOND]["shortfalls"],
         "describe": lambda item: describe_second(item, second_labels)},
    ]
    print(f"{len(reservoirs)} reservoirs screened: {len(first[0])} first-method and "
          f"{len(second[0])} 2019 scores. Best {BEST} methods of each family, and what lowered them:")
    print("  first method: a parameter inside the method's limits scores +10 points, one outside\n"
          "  -1 to -10; score = (sum of the 11 - 110) / 110 + 1, and -1 when a stopper is violated.\n"
          "  2019 method: score = weighted mean of the 8 parameters' p-values (1 inside the\n"
          "  recommended range, falling to -1 at the limit seen in field projects).\n")
    report(reservoirs, families)

    os.makedirs(args.out, exist_ok=True)
    results = {FIRST: first, SECOND: second}
    tables = {sheet: results[family][k] for sheet, (family, k) in SHEETS.items()}
    # The p-value table has no reservoir column (row k belongs to reservoir
    # k // 12); the worksheet gets one so that it can be read on its own.
    p_values = tables["uom_zelt p-values"].copy()
    p_values.insert(0, "Reservoir_ID", np.repeat(second[3]["Reservoir_ID"].to_numpy(),
                                                 len(p_values) // max(1, len(second[3]))))
    tables["uom_zelt p-values"] = p_values
    workbook = os.path.join(args.out, "screening.xlsx")
    write_workbook(workbook, tables)

    knocked_out = {key for key, found in why[FIRST]["shortfalls"].items()
                   if any(f["stopper"] for f in found)}
    picture = os.path.join(args.out, "screening_scores.png")
    plot_scores(picture, reservoirs, [
        {"title": "first method (halvane_zelt)", "scores": first[0],
         "methods": why[FIRST]["methods"], "knocked_out": knocked_out},
        {"title": "2019 method (uom_zelt)", "scores": second[0],
         "methods": why[SECOND]["methods"]},
    ])
    print(f"written: {workbook}, {picture}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

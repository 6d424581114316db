"""Screens oil reservoirs for enhanced oil recovery with both zelt methods.

Reports, per reservoir, the best method of each family (thermal, gas
injection, chemical, other), the best three methods with what held each of
them back and how much of each score rests on the table's own values, and
which input values the module had to fill in.

    PYTHONPATH=build /usr/bin/python3 examples/screen_reservoirs.py [reservoirs.csv|.xlsx]
        [--out DIR] [--limits DIR] [--header-row N]

The input table (CSV, or the first worksheet of an Excel file) has one row per
reservoir with the columns the module reads (see README.md); without one, the
bundled data/sample_reservoirs.csv is screened. --header-row N reads the
column names from row N (for a spreadsheet with a title above its header).
--limits DIR screens against the reference files screening_table.csv and
screening_table_2019.csv in DIR instead of those beside the module. Written
to DIR (default out/ in the current directory):

- screening.xlsx: first what was run (input file, limits folder, module
  version, date), a summary per reservoir, and for each method its scores,
  how sure each score is (coverage, screened, estimated knock-outs), the
  explanation of every score (values filled in by the module marked), the
  field data, the reference limits (and for the first method the pressure
  window), units in every header;
- screening_scores.png: heat map of the scores, one panel per method,
  unscreened cells hatched (for more than 40 reservoirs one page per 40:
  screening_scores_1of5.png, ...).

Warnings of the module about input that looks misread are printed once each
on stderr, prefixed "warning:".

Bad input (an unreadable file, missing columns, identifiers missing or
repeated, cells that are not numbers, broken reference files) ends the
script with one line on stderr and exit status 2.
"""
import argparse
import datetime
import math
import os
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd

import zelt

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:   # the heat map beside this script, also when loaded from elsewhere
    sys.path.insert(0, HERE)
from screening_heat_map import SCREENED_AT, plot_page, short_name  # noqa: E402
from workbook_sheets import sheet_formats, write_sheet  # noqa: E402

DEFAULT_TABLE = os.path.join(HERE, "..", "data", "sample_reservoirs.csv")
REFERENCE_FILES = ("screening_table.csv", "screening_table_2019.csv")
BEST = 3
ROWS_PER_PAGE = 40
# Columns the first method cannot do without; a table lacking them may have
# its header on a lower row.
REQUIRED = ("resv_id", "reservoir_unit_name", "top_depth_feet")
HEADER_SEARCH_ROWS = 20

FIRST = "first method"
SECOND = "2019 method"
FUNCTION = {FIRST: "halvane_zelt", SECOND: "uom_zelt"}
FAMILIES = ("thermal", "gas injection", "chemical", "other")
# The families each method has methods of (the first method has no "other").
FAMILY_ORDER = {FIRST: FAMILIES[:3], SECOND: FAMILIES}
FAMILY_OF = {
    FIRST: {"Steam Flooding": "thermal", "CSS": "thermal", "SAGD": "thermal", "Hot Water": "thermal",
            "Polymer Flooding": "chemical", "ASP": "chemical"},
    SECOND: {"Steam Flooding": "thermal", "Combustion": "thermal", "Hot Water": "thermal",
             "Polymer Flooding": "chemical", "Surfactant": "chemical", "Microbial": "other"},
}
# Units of the parameters, as the module screens them.
UNIT = {"Oil Gravity": "°API", "Oil Viscosity (in situ)": "cP", "Reservoir Depth": "ft", "Depth": "ft",
        "Net Pay Thickness": "ft", "Average Vertical Permeability": "mD",
        "Average Horizontal Permeability": "mD", "Permeability": "mD", "Porosity": "%",
        "Current Reservoir Pressure": "psi", "Reservoir Temperature": "°F", "Current Oil Saturation": "%",
        "Reservoir Dip": "°", "Formation Salinity": "ppm"}
# Sources of values the module filled in rather than read from the table.
FILLED = ("default", "correlation", "fixed", "missing")
# What every reservoir gets and the report does not repeat: kv = 0.1 kh, 5° dip.
ALWAYS_FILLED = ("Average Vertical Permeability", "Reservoir Dip")
# The workbook's creation date is stored in it; a fixed one keeps the file
# identical from run to run.
WORKBOOK_DATE = datetime.datetime(2024, 1, 1)


class InputError(Exception):
    """Bad input, reported as one line."""


def family(method_kind, method):
    return FAMILY_OF[method_kind].get(method, "gas injection")


def number(v):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "unknown"
    return f"{v:,.0f}" if abs(v) >= 100 else f"{v:.3g}"


# -------------------------------------------------------------------- input

def read_table(path, header_row):
    """The file as a table, its header on line (worksheet row) header_row."""
    try:
        if os.path.splitext(path)[1].lower() in (".xlsx", ".xlsm", ".xls"):
            return pd.read_excel(path, header=header_row - 1)
        return pd.read_csv(path, header=header_row - 1)
    except (OSError, ValueError, pd.errors.ParserError) as error:
        raise InputError(f"cannot read {path}: {error}") from None


def header_hint(path, header_row, missing):
    """Where the required columns a table lacks appear in a lower row: the
    hint to give that row as the header."""
    try:
        if os.path.splitext(path)[1].lower() in (".xlsx", ".xlsm", ".xls"):
            raw = pd.read_excel(path, header=None, nrows=HEADER_SEARCH_ROWS)
        else:
            raw = pd.read_csv(path, header=None, nrows=HEADER_SEARCH_ROWS, skip_blank_lines=False,
                              on_bad_lines="skip", engine="python")
    except (OSError, ValueError, pd.errors.ParserError):
        return ""
    for k, row in enumerate(raw.itertuples(index=False), start=1):
        if k > header_row and set(missing) <= {str(v).strip().lower() for v in row}:
            return f"; row {k} holds them, so the header is not on row {header_row}: give --header-row {k}"
    return ""


def read_reservoirs(path, header_row=1):
    """The reservoir table of a CSV or Excel file, column names in lower case,
    identifiers present and unique. Its row labels are the file's line (or
    worksheet row) numbers, the header being line header_row, so that the
    module's messages about a cell name the line it is on."""
    table = read_table(path, header_row)
    table.columns = [str(c).lower() for c in table.columns]
    table.index = pd.RangeIndex(header_row + 1, len(table) + header_row + 1, name="line")
    missing = [c for c in REQUIRED if c not in table.columns]
    hint = header_hint(path, header_row, missing) if missing else ""
    if hint:
        names = ", ".join(repr(c) for c in missing)
        raise InputError(f"{path}: the table lacks the required column{'s' if len(missing) > 1 else ''} "
                         f"{names}{hint}")
    if table.empty:
        raise InputError(f"{path} holds no reservoirs")
    if "resv_id" in table.columns:
        ids = table["resv_id"]
        if ids.isna().any():
            raise InputError(f"{path}: line {ids.index[ids.isna()][0]} has no resv_id")
        repeated = ids[ids.duplicated(keep=False)]
        if len(repeated):
            first = repeated.iloc[0]
            lines = ", ".join(str(k) for k in ids.index[ids == first])
            raise InputError(f"{path}: resv_id {first!r} appears more than once (lines {lines}); "
                             "identifiers must be unique")
    return table


def use_reference_folder(folder):
    """Points the module at the reference files in `folder`: it reads them
    beside zelt.__file__ on every call."""
    if not os.path.isdir(folder):
        raise InputError(f"--limits {folder}: no such folder")
    missing = [name for name in REFERENCE_FILES if not os.path.isfile(os.path.join(folder, name))]
    if missing:
        raise InputError(f"--limits {folder}: no {' or '.join(missing)} there")
    zelt.__file__ = os.path.join(os.path.abspath(folder), os.path.basename(zelt.__file__))


def read_reference(name):
    """A reference limits file as the module reads it, from where it reads it."""
    return pd.read_csv(zelt.get_filepath(name), na_values=["MMP"], index_col=["ScreeningParam", "ZeltMethod"])


def screen(reservoirs, warn=None):
    """Both methods, their explanations and summaries, and the methods of
    each. The pipelines rewrite the caller's table, so each gets a copy; the
    explanations and summaries leave it alone. Each InputWarning of the
    module is passed to warn(text) once, without the function's name."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", zelt.InputWarning)
        try:
            first = zelt.halvane_zelt(reservoirs.copy())
            second = zelt.uom_zelt(reservoirs.copy())
            explained = {FIRST: zelt.explain_halvane_zelt(reservoirs), SECOND: zelt.explain_uom_zelt(reservoirs)}
            summaries = {FIRST: zelt.summary_halvane_zelt(reservoirs), SECOND: zelt.summary_uom_zelt(reservoirs)}
        except (KeyError, ValueError, TypeError, FileNotFoundError) as error:
            raise InputError(error.args[0] if error.args else repr(error)) from None
    said = dict.fromkeys(str(w.message).split(": ", 1)[-1] for w in caught
                         if issubclass(w.category, zelt.InputWarning))
    for text in said:
        (warn or (lambda t: None))(text)
    for w in caught:   # any other warning as it came
        if not issubclass(w.category, zelt.InputWarning):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    results = {FIRST: first, SECOND: second}
    methods = {kind: list(dict.fromkeys(explained[kind]["ZeltMethod"])) for kind in results}
    return results, explained, summaries, methods


# ------------------------------------------------ why a method scored lower

def shortfalls(explanation, kind):
    """(Reservoir_ID, method) -> the explanation rows that cost points: a
    first-method parameter outside its limits, a 2019 p-value below 1."""
    if kind == FIRST:
        lost = explanation[explanation["Points"] < 10.0]
    else:
        lost = explanation[explanation["PValue"] < 1.0].copy()
        lost["loss"] = lost["Weighting"] * (1.0 - lost["PValue"])
        lost = lost.sort_values("loss", ascending=False, kind="stable")
    found = {}
    for row in lost.to_dict("records"):
        found.setdefault((row["Reservoir_ID"], row["ZeltMethod"]), []).append(row)
    return found


def value_sources(explanation):
    """(Reservoir_ID, parameter) -> (value, source) of the value itself (the
    last method of the first list, ASP, compares no MMP)."""
    last = explanation["ZeltMethod"].iloc[-1]
    rows = explanation[explanation["ZeltMethod"] == last]
    return {(r, p): (v, s) for r, p, v, s in rows[["Reservoir_ID", "ScreeningParam", "Value", "Source"]].values}


def describe_first(row, own, file_limits):
    side = "Min" if row["Value"] < row["Min"] else "Max"
    relation = "below the minimum" if side == "Min" else "above the maximum"
    param = row["ScreeningParam"]
    file_value = file_limits.loc[(param, row["ZeltMethod"]), side]
    if math.isnan(file_value):
        note = " (the measured MMP)" if row["Source"] == "measured" else " (the MMP)"
    else:
        note = " (set for this reservoir)" if file_value != row[side] else ""
    source = own[(row["Reservoir_ID"], param)][1]
    given = "" if source == "reported" else f" ({source})"
    text = (f"{param} {number(row['Value'])} {UNIT[param]}{given}, {relation} {number(row[side])}{note}: "
            f"{row['Points']:+.1f} points")
    return ("KNOCK-OUT " if row["Stopper"] else "") + text


def describe_second(row):
    param, value = row["ScreeningParam"], row["Value"]
    if value < row["Min"]:
        text = f"below the recommended {number(row['Min'])}"
        if value <= row["Lower"]:
            text += f", at or below the field-project minimum {number(row['Lower'])}"
    else:
        text = f"above the recommended {number(row['Max'])}"
        if value >= row["Upper"]:
            text += f", at or above the field-project maximum {number(row['Upper'])}"
    given = "" if row["Source"] == "reported" else f" ({row['Source']})"
    return (f"{param} {number(value)} {UNIT[param]}{given}: p = {row['PValue']:+.2f} "
            f"(weight {row['Weighting']:g}), {text}")


# ------------------------------------------------------------------ ranking

def ranked(scores, order):
    """Reservoir_ID -> [(method, score)], best first, ties in the module's
    method order; a missing score (zero weights) last."""
    rank = {m: k for k, m in enumerate(order)}
    out = {}
    for resv_id, group in scores.groupby("Reservoir_ID", sort=False):
        pairs = list(zip(group["ZeltMethod"], group["Score"]))
        out[resv_id] = sorted(pairs, key=lambda ms: (math.isnan(ms[1]), -np.nan_to_num(ms[1]), rank[ms[0]]))
    return out


def best_per_family(ranking, kind):
    """Reservoir_ID -> family -> (best score, the methods that reach it), or None."""
    out = {}
    for resv_id, pairs in ranking.items():
        out[resv_id] = {}
        for fam in FAMILIES:
            members = [(m, s) for m, s in pairs if family(kind, m) == fam and not math.isnan(s)]
            if members:
                top = members[0][1]
                out[resv_id][fam] = (top, [m for m, s in members if s == top])
            else:
                out[resv_id][fam] = None
    return out


def family_text(entry):
    if entry is None:
        return "–"
    return f"{entry[0] + 0.0:+.1f} {', '.join(entry[1])}"


# ------------------------------------------------------------------ report

def filled_in(own, resv_id, params):
    """The values of one reservoir the module had to fill in, as text."""
    items = []
    for p in params:
        value, source = own[(resv_id, p)]
        if source in FILLED and p not in ALWAYS_FILLED:
            items.append(f"{p} ({source})" if source == "missing" else
                         f"{p} {number(value)} {UNIT[p]} ({source})")
    return "; ".join(items) or "nothing"


def sureness(row):
    """How much a score rests on the table: its coverage, and whether it
    counts as screened."""
    coverage = row["Coverage"]
    text = "coverage n/a" if math.isnan(coverage) else f"coverage {coverage:.2f}"
    return text if row["Screened"] else text + ", not screened"


def report(reservoirs, data, out=None):
    out = sys.stdout if out is None else out
    names = dict(zip(reservoirs["resv_id"], reservoirs["reservoir_unit_name"]))
    applied = (dict(zip(reservoirs["resv_id"], reservoirs["applied_methods"]))
               if "applied_methods" in reservoirs.columns else {})
    wrap = textwrap.TextWrapper(width=100, subsequent_indent=" " * 14)
    for resv_id in reservoirs["resv_id"]:
        print(f"{resv_id}  {names[resv_id]}", file=out)
        if isinstance(applied.get(resv_id), str):
            print(wrap.fill(f"    applied:  {applied[resv_id]}"), file=out)
        print(wrap.fill(f"    filled:   {filled_in(data[FIRST]['own'], resv_id, data[FIRST]['params'])}"),
              file=out)
        for kind, label in ((FIRST, "by family, first method: "), (SECOND, "by family, 2019 method:  ")):
            best = data[kind]["families"][resv_id]
            text = " | ".join(f"{fam} {family_text(best[fam])}" for fam in FAMILIES if fam in FAMILY_ORDER[kind])
            print(textwrap.fill(text, width=100, initial_indent="    " + label,
                                subsequent_indent=" " * (4 + len(label))), file=out)
        for kind in (FIRST, SECOND):
            d = data[kind]
            pairs = d["ranking"][resv_id]
            shown = pairs[:BEST]
            tied = [m for m, s in pairs[BEST:] if s == shown[-1][1]]
            print(f"  {kind} ({FUNCTION[kind]}), best {BEST}:", file=out)
            for method, score in shown:
                found = d["shortfalls"].get((resv_id, method), [])
                knocked = kind == FIRST and any(r["Stopper"] for r in found)
                sure = d["summary"][(resv_id, method)]
                status = "knocked out" if knocked else d["clean"] if not found else ""
                if sure["Estimated Knock-out"]:
                    status += f" by estimates only ({sure['Estimated Knock-out']})"
                status += f"  [{sureness(sure)}]"
                print(f"    {score + 0.0:+.1f}  {method:<18} {status}".rstrip(), file=out)
                for row in found:
                    print(f"            {d['describe'](row)}", file=out)
            if tied:
                print(f"          also {shown[-1][1] + 0.0:+.1f}: {', '.join(tied)}", file=out)
        print(file=out)


# ------------------------------------------------------------------ workbook

NOTES = {
    "Run": "What this workbook was made from: the input table, the reference limits, the module and the date.",
    "coverage": "How sure each score is. Coverage: the share of the method's weight (first method: its 11 "
                "parameters' points; 2019 method: its weights) resting on values the table reported or "
                "measured. Screened: coverage of at least {threshold}. Estimated Knock-out: the estimated "
                "parameters (default or correlation) whose stopper knocked the method out, where no reported "
                "one did.",
    "Summary": "Best score of each family per reservoir, with every method that reaches it (methods of one "
               "family often tie). Filled in: input values the module did not find in the table.",
    "scores": "Scores from -1 (unsuitable) to +1 (inside every limit). {knock}",
    "explanation": "One row per method and parameter. Orange Value: not in the table, filled in by the module "
                   "(Source: default, correlation from other values, fixed by the method, missing). "
                   "Temperatures in °F, as the limits.",
    "field data": "The values screened. Orange: filled in by the module. Temperature given in °C, screened in °F.",
    "limits": "The reference file for display: in the Min rows Value is the lower limit, in the Max rows the "
              "width of the range (upper minus lower limit); Limit is the limit itself, blank where the file "
              "says MMP (the reservoir's MMP, see the pressure window).",
    "pressure window": "Pressure limits per reservoir, the MMPs filled in: Value is the lower limit in the Min "
                       "rows and the width of the window in the Max rows; Limit is the limit itself.",
    "p-values": "Rating of each parameter, 1 inside the recommended range falling to -1 at the widest range "
                "seen in field projects.",
}
KNOCK = {FIRST: "Grey: knocked out, a violated stopper parameter scores the method -1.",
         SECOND: "Empty: no score (the method's weights sum to zero)."}


def run_table(table_path, version=None, when=None):
    """The record of the run: input file, limits folder, module version, date."""
    when = when or datetime.datetime.now(datetime.timezone.utc)
    return pd.DataFrame({"Item": ["Input file", "Limits folder", "Module version", "Run date (UTC)"],
                         "Recorded": [os.path.abspath(table_path), os.path.dirname(zelt.get_filepath("x")),
                                      version or getattr(zelt, "__version__", "unknown"),
                                      when.strftime("%Y-%m-%d %H:%M:%S")]})


def coverage_sheet(summary):
    return summary.rename(columns={"ZeltMethod": "Method", "Score": "Score (-1 to 1)", "Rank": "Rank (1 best)",
                                   "Coverage": "Coverage (0 to 1)"})


def with_units(params):
    return {p: f"{p} ({UNIT[p]})" for p in params}


def summary_table(reservoirs, data):
    table = pd.DataFrame({"Reservoir_ID": reservoirs["resv_id"], "Reservoir": reservoirs["reservoir_unit_name"]})
    if "applied_methods" in reservoirs.columns:
        table["Applied"] = reservoirs["applied_methods"]
    for kind in (FIRST, SECOND):
        for fam in FAMILY_ORDER[kind]:
            best = [data[kind]["families"][r][fam] for r in reservoirs["resv_id"]]
            table[f"{kind}: {fam} score (-1 to 1)"] = [b[0] if b else np.nan for b in best]
            table[f"{kind}: {fam} methods"] = [", ".join(b[1]) if b else "" for b in best]
    table["Filled in by the module"] = [filled_in(data[FIRST]["own"], r, data[FIRST]["params"])
                                        for r in reservoirs["resv_id"]]
    return table


def wide_scores(scores, resv_ids, methods):
    wide = scores.pivot(index="Reservoir_ID", columns="ZeltMethod", values="Score")
    return wide.loc[resv_ids, methods]


def explanation_sheet(explanation):
    table = explanation.rename(columns={"ZeltMethod": "Method", "ScreeningParam": "Parameter",
                                        "Value": "Value (in Unit)", "Min": "Min (in Unit)", "Max": "Max (in Unit)",
                                        "Lower": "Lower (in Unit)", "Upper": "Upper (in Unit)",
                                        "Points": "Points (-10 to 10)", "PValue": "p-value (-1 to 1)",
                                        "Score": "Score (-1 to 1)", "Weighting": "Weight (relative)",
                                        "Coverage": "Coverage (0 to 1)"})
    table.insert(4, "Unit", explanation["ScreeningParam"].map(UNIT))
    return table


def field_sheet(field, own, params):
    table = field.rename(columns=with_units(params))
    if "Reservoir Temperature" in params:
        column = table.columns.get_loc(f"Reservoir Temperature ({UNIT['Reservoir Temperature']})")
        table.insert(column, "Reservoir Temperature (°C)", (field["Reservoir Temperature"] - 32.0) / 1.8)
    marks = {(k, f"{p} ({UNIT[p]})") for k, r in enumerate(field["Reservoir_ID"]) for p in params
             if own[(r, p)][1] in FILLED}
    marks |= {(k, "Reservoir Temperature (°C)") for k, c in marks if c.startswith("Reservoir Temperature")}
    return table, marks


def limits_sheet(limits, file_name):
    """The display table of a reference file with each limit itself beside
    it (the display rows follow the file's lines, one block per category)."""
    table = limits.rename(columns={"ScreeningParam": "Parameter (unit)", "ZeltMethod": "Method",
                                   "Value": "Value (unit of the parameter; see note)"})
    file_table = read_reference(file_name)
    categories = list(dict.fromkeys(limits["Category"]))
    table["Limit (unit of the parameter)"] = np.concatenate([file_table[c].to_numpy(dtype=float)
                                                             for c in categories])
    return table


def window_sheet(window):
    """The pressure window with each limit itself beside it: the Min rows
    hold the lower limit, the Max rows the width."""
    table = window.drop(columns=["ScreeningParam"]).rename(columns={"ZeltMethod": "Method",
                                                                     "Value": "Value (psi; see note)"})
    lower = window.loc[window["Category"] == "Min", "Value"].to_numpy()
    table["Limit (psi)"] = np.concatenate([lower, lower + window.loc[window["Category"] == "Max", "Value"]])
    return table


def write_workbook(path, reservoirs, results, explained, data, run):
    resv_ids = list(reservoirs["resv_id"])
    with pd.ExcelWriter(path, engine="xlsxwriter",
                        engine_kwargs={"options": {"nan_inf_to_errors": True}}) as writer:
        book = writer.book
        book.set_properties({"created": WORKBOOK_DATE})
        formats = sheet_formats(book)
        filled = book.add_format({"num_format": "#,##0.0#", "bg_color": "#FDD49E"})
        knocked = book.add_format({"num_format": "0.0", "bg_color": "#969696", "font_color": "#FFFFFF"})
        write_sheet(writer, "Run", run, NOTES["Run"], formats)
        write_sheet(writer, "Summary", summary_table(reservoirs, data), NOTES["Summary"], formats)
        for kind, short in ((FIRST, "First method"), (SECOND, "2019 method")):
            d = data[kind]
            scores = wide_scores(results[kind][0], resv_ids, d["methods"]).reset_index()
            scores.insert(1, "Reservoir", list(reservoirs["reservoir_unit_name"]))
            scores.columns = ["Reservoir_ID", "Reservoir"] + [f"{m} (-1 to 1)" for m in d["methods"]]
            marks = [(k, f"{m} (-1 to 1)") for k, r in enumerate(resv_ids) for m in d["methods"]
                     if (r, m) in d["knocked_out"]]
            write_sheet(writer, f"{short} scores", scores, NOTES["scores"].format(knock=KNOCK[kind]), formats,
                        marks, knocked)
            write_sheet(writer, f"{short} coverage", coverage_sheet(d["summary_table"]),
                        NOTES["coverage"].format(threshold=SCREENED_AT), formats)
            ex = explanation_sheet(explained[kind])
            rows = np.flatnonzero(explained[kind]["Source"].isin(FILLED).to_numpy())
            write_sheet(writer, f"{short} explanation", ex, NOTES["explanation"], formats,
                        [(k, "Value (in Unit)") for k in rows], filled)
            field = results[kind][2] if kind == FIRST else results[kind][3]
            table, marks = field_sheet(field, d["own"], d["params"])
            write_sheet(writer, f"{short} field data", table, NOTES["field data"], formats, sorted(marks), filled)
            write_sheet(writer, f"{short} limits", limits_sheet(results[kind][1], REFERENCE_FILES[kind == SECOND]),
                        NOTES["limits"] + ("" if kind == FIRST else " Lower, Min, Max and Upper rows follow one "
                                           "another: each Value is the distance from the limit before it."),
                        formats)
        write_sheet(writer, "First method pressure window", window_sheet(results[FIRST][3]),
                    NOTES["pressure window"], formats)
        p_values = results[SECOND][2].copy()
        p_values.insert(0, "Reservoir_ID", np.repeat(np.asarray(resv_ids, dtype=object),
                                                     len(data[SECOND]["methods"])))
        p_values.columns = ["Reservoir_ID", "Method"] + [f"{p} p-value (-1 to 1)" for p in data[SECOND]["params"]]
        write_sheet(writer, "2019 method p-values", p_values, NOTES["p-values"], formats)


# ------------------------------------------------------------------ heat map

def plot_scores(folder, reservoirs, results, data):
    """The heat map, one page per ROWS_PER_PAGE reservoirs; the files written."""
    resv_ids = list(reservoirs["resv_id"])
    labels = [f"{r}  {short_name(name)}" for r, name in zip(resv_ids, reservoirs["reservoir_unit_name"])]
    pages = max(1, math.ceil(len(resv_ids) / ROWS_PER_PAGE))
    written = []
    for page in range(pages):
        rows = slice(page * ROWS_PER_PAGE, (page + 1) * ROWS_PER_PAGE)
        panels = []
        for kind in (FIRST, SECOND):
            methods = data[kind]["methods"]
            grid = wide_scores(results[kind][0], resv_ids[rows], methods).to_numpy(dtype=float)
            knocked = np.array([[(r, m) in data[kind]["knocked_out"] for m in methods] for r in resv_ids[rows]],
                               dtype=bool).reshape(grid.shape)
            unscreened = np.array([[not data[kind]["summary"][(r, m)]["Screened"] for m in methods]
                                   for r in resv_ids[rows]], dtype=bool).reshape(grid.shape)
            panels.append({"title": f"{kind} ({FUNCTION[kind]})", "methods": methods, "grid": grid,
                           "knocked": knocked, "unscreened": unscreened})
        name = "screening_scores.png" if pages == 1 else f"screening_scores_{page + 1}of{pages}.png"
        first_row, last_row = page * ROWS_PER_PAGE + 1, min(len(resv_ids), (page + 1) * ROWS_PER_PAGE)
        title = (f"EOR screening scores of {len(resv_ids)} reservoir{'s' if len(resv_ids) > 1 else ''}"
                 + (f" (page {page + 1} of {pages}: reservoirs {first_row}-{last_row})" if pages > 1 else ""))
        plot_page(os.path.join(folder, name), labels[rows], panels, title)
        written.append(os.path.join(folder, name))
    return written


# --------------------------------------------------------------------- main

def gather(results, explained, summaries, methods):
    """What the report, the workbook and the heat map read, per method."""
    file_limits = read_reference("screening_table.csv")
    data = {}
    for kind in (FIRST, SECOND):
        ex = explained[kind]
        found = shortfalls(ex, kind)
        ranking = ranked(results[kind][0], methods[kind])
        own = value_sources(ex)
        data[kind] = {
            "methods": methods[kind], "params": list(dict.fromkeys(ex["ScreeningParam"])),
            "shortfalls": found, "ranking": ranking, "families": best_per_family(ranking, kind), "own": own,
            "knocked_out": {key for key, rows in found.items() if any(r.get("Stopper") for r in rows)},
            "summary_table": summaries[kind],
            "summary": {(r["Reservoir_ID"], r["ZeltMethod"]): r for r in summaries[kind].to_dict("records")},
            "clean": "inside every limit" if kind == FIRST else "every parameter in its recommended range",
            "describe": ((lambda row, own=own: describe_first(row, own, file_limits)) if kind == FIRST
                         else describe_second),
        }
    return data


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table", nargs="?", default=DEFAULT_TABLE,
                        help="reservoir table, .csv or .xlsx (default: the bundled sample)")
    parser.add_argument("--out", default="out", help="output folder (default: out)")
    parser.add_argument("--limits", help="folder of one's own screening_table.csv and screening_table_2019.csv")
    parser.add_argument("--header-row", type=int, default=1, metavar="N",
                        help="row of the column names, counting from 1 (default 1; for a title above the header)")
    args = parser.parse_args(argv)
    if args.header_row < 1:
        parser.error("--header-row must be 1 or more")
    try:
        if args.limits:
            use_reference_folder(args.limits)
        reservoirs = read_reservoirs(args.table, args.header_row)
        results, explained, summaries, methods = screen(
            reservoirs, warn=lambda text: print(f"{parser.prog}: warning: {text}", file=sys.stderr))
    except InputError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 2
    data = gather(results, explained, summaries, methods)

    print(f"{len(reservoirs)} reservoirs screened with the limits in {os.path.dirname(zelt.get_filepath('x'))}.")
    print("  first method: a parameter inside the method's limits scores +10 points, one outside -1 to -10;\n"
          "  score = (sum of the 11 - 110) / 110 + 1, and -1 when a stopper is violated.\n"
          "  2019 method: score = weighted mean of the 8 parameters' p-values (1 inside the recommended\n"
          "  range, falling to -1 at the limit seen in field projects).\n"
          "  filled: values not in the table that the module filled in (default, correlation from other\n"
          "  values, missing); every reservoir also gets kv = 0.1 kh and a 5° dip.\n"
          "  coverage: the share of a score resting on the table's own values; below 0.5 a score is\n"
          "  not screened (it rests mostly on defaults and correlations).\n")
    report(reservoirs, data)

    os.makedirs(args.out, exist_ok=True)
    workbook = os.path.join(args.out, "screening.xlsx")
    write_workbook(workbook, reservoirs, results, explained, data, run_table(args.table))
    pictures = plot_scores(args.out, reservoirs, results, data)
    print(f"written: {workbook}, {', '.join(pictures)}")
    return 0


if __name__ == "__main__":
    from closed_pipe import tolerate_early_reader_exit
    tolerate_early_reader_exit()
    sys.exit(main(sys.argv[1:]))

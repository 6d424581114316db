"""Forecasts the first five years of gas production of a proposed horizontal
shale well with the quon module and plots the fitted decline curves.

    PYTHONPATH=build /usr/bin/python3 examples/forecast_well.py [--play DIR] [--lat DEG] [--lon DEG]
        [--stages N] [--lateral FT] [--spacing FT] [--fluid GAL_PER_FT] [--out DIR]

The models are those of the play folder named by --play (the folder that
holds GeoModel/ and Model/, docs/forecast-plays.md), by default the play
beside the module (DataFiles/Marcellus Shale; in a source checkout `make
build` generates a demo play there, trained on synthetic wells; an
installed module has none). Without arguments the well sits in the middle of the
driver's map window with the driver's slider settings for lateral, stage
length and fluid loading (a 3,000 ft completed lateral, 500 ft average stage
length, 500 gal/ft) and the stage count that fills that lateral: 6 stages.
(The driver's own default stage count, 8, is not one consistent well with
the others: 8 stages of 500 ft are 4,000 ft of stages in a 3,000 ft lateral.)
A design keeps stages x stage length within the lateral (the module refuses
one whose stages are more than a tenth longer), e.g.

    examples/forecast_well.py --stages 24 --lateral 6400 --spacing 260 --fluid 1800

The ISIP is not an input: the play's geological model estimates it from the
location.

Printed: the design, the estimated ISIP, the three fitted hyperbolic declines
(P90, model, P10), rates and cumulatives at a few months, and the 60-month
cumulative gas of each. Written to DIR (default out/ in the current
directory):

- forecast.png: fitted gas rate and fitted cumulative gas against month, the
  P10-P90 band shaded, the model's fitted curve as a line and the raw monthly
  model outputs as points.

A location or design outside the play's envelope (the ranges its models were
trained on) and raw monthly outputs that fall from one month to the next are
what the module warns of: both are noted on stderr and marked on the
picture (an EXTRAPOLATED banner naming the values; the falling outputs
circled in red). A play without an envelope file is not checked.

Rates are in Mcf/d and cumulatives in MMcf: the demo play's models are
trained on cumulatives in thousands of Mcf. A play of your own forecasts in
whatever volume unit its models were trained in.
"""
import argparse
import math
import os
import sys
import textwrap
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
import matplotlib.ticker  # noqa: E402
import numpy as np  # noqa: E402
from scipy.optimize import OptimizeWarning  # noqa: E402

import quon  # noqa: E402

RATE_UNIT = "Mcf/d"
CUM_UNIT = "MMcf"
# Months of the short table in the report (the forecast grid is 0, 6, 8, ..., 60).
REPORT_MONTHS = (6, 12, 24, 36, 48, 60)
# tools/make_demo_play.py leaves this file in the play directory it writes.
DEMO_STAMP = ".generated"
BAND_COLOUR = "#9ecae1"
LINE_COLOUR = "#08519c"


def play_directory(play=None):
    """The play folder the driver reads: the one named, or the one beside the
    module file."""
    if play is not None:
        return os.path.abspath(play)
    return os.path.join(os.path.dirname(os.path.abspath(quon.__file__)), "DataFiles",
                        quon.playDesignationDir)


def source_build():
    """Whether the module is the one a source checkout's `make build` made."""
    return os.path.isfile(os.path.join(os.path.dirname(os.path.realpath(quon.__file__)), "CMakeCache.txt"))


def default_design(driver):
    """The driver's slider settings for lateral, stage length and fluid
    loading, with as many stages as fit the lateral, at the middle of its map
    window."""
    sliders = driver.m_sliderVar
    lateral = sliders[quon.strWellLen]
    spacing = sliders[quon.strFracSpacing]
    return {
        "lat": 0.5 * (driver.m_minLat + driver.m_maxLat),
        "lon": 0.5 * (driver.m_minLong + driver.m_maxLong),
        "stages": int(lateral // spacing),
        "lateral": lateral,
        "spacing": spacing,
        "fluid": sliders[quon.strFluidVolumePerLen],
    }


def load_driver(play=None):
    """A driver with the play loaded, or None with the reason printed."""
    folder = play_directory(play)
    if not os.path.isdir(folder):
        where = "named by --play" if play is not None else "beside the module"
        hint = ("\nIn this source checkout, `make build` generates a demo play beside the module."
                if play is None and source_build() else "")
        print(f"No play folder at {folder} ({where}).\n"
              "Name your play's folder with --play DIR: the folder that holds GeoModel/ and Model/ "
              "(docs/forecast-plays.md)." + hint, file=sys.stderr)
        return None
    driver = quon.CMainDravex(playDir=folder) if play is not None else quon.CMainDravex()
    try:
        driver.Process()
    except (OSError, ValueError, TypeError, KeyError, IndexError) as e:
        print(f"The play at {folder} could not be loaded: {e}", file=sys.stderr)
        return None
    play = folder
    if driver.m_geoModelDict.get(quon.strISIP) is None:
        print(f"The play at {play} has no geological model "
              f"({quon.geoModelFileDir}/{quon.strISIP}.pickle).", file=sys.stderr)
        return None
    if len(driver.m_modelDict) != len(quon.nOutputMonthList):
        print(f"The play at {play} lacks a monthly model: {quon.modelDir}/<month>/{quon.modelFile} "
              f"is needed for every month {quon.nOutputMonthList[0]}, "
              f"{quon.nOutputMonthList[1]}, ..., {quon.nOutputMonthList[-1]}.", file=sys.stderr)
        return None
    return driver


def estimated_isip(driver, design):
    return float(driver.m_geoModelDict[quon.strISIP].predict([[design["lat"], design["lon"]]])[0])


def forecast(driver, design):
    """(rates, cumulatives, cautions) of the design: cautions maps
    "extrapolated" and "falling" to the module's warnings of the forecast
    (None where there is none). The fits may report that the covariance of
    the parameters could not be estimated; the forecast does not use the
    covariance, so exactly that warning is silenced."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("ignore", OptimizeWarning)
        warnings.simplefilter("always", quon.ExtrapolationWarning)
        warnings.simplefilter("always", quon.FallingOutputWarning)
        # isip is accepted by Predict and not used: the geological model sets it.
        rates, cums = driver.Predict(design["lat"], design["lon"], design["stages"], design["lateral"],
                                     design["spacing"], design["fluid"], 0.0)
    cautions = {"extrapolated": None, "falling": None}
    for w in caught:
        if issubclass(w.category, quon.ExtrapolationWarning):
            cautions["extrapolated"] = str(w.message).split("extrapolates: ", 1)[-1]
        elif issubclass(w.category, quon.FallingOutputWarning):
            cautions["falling"] = str(w.message).split(": ", 1)[-1]
        else:
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return rates, cums, cautions


def fitted_declines(driver):
    """{"P90", "model", "P10"} -> (qi, Di, b) of the decline curves behind the
    last forecast's tables: the driver's own fitter run again on the series
    that Predict fitted (month 0 and the monthly outputs, or their P10 and P90
    widenings). The fit is deterministic, so these are the curves of the
    tables; the picture draws them between the forecast months."""
    months = [0] + list(quon.nOutputMonthList)
    series = {"P90": [0.0] + list(driver.m_modelOutputWithProbList["P90"]),
              "model": list(driver.m_modelOutputList),
              "P10": [0.0] + list(driver.m_modelOutputWithProbList["P10"])}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizeWarning)
        return {k: tuple(float(v) for v in driver.m_historyMatch.GetMatchParams(months, q))
                for k, q in series.items()}


def curves(driver, declines, months):
    """Fitted rates and cumulatives of each decline over the given months."""
    fit = driver.m_historyMatch
    return {k: (np.array(fit.GetRateList(list(months), *p)), np.array(fit.GetCumulativeList(list(months), *p)))
            for k, p in declines.items()}


def location_text(lat, lon):
    return f"{abs(lat):.4f}°{'N' if lat >= 0 else 'S'}, {abs(lon):.4f}°{'E' if lon >= 0 else 'W'}"


def design_text(design):
    return (f"{design['stages']:g} stages, {design['lateral']:,.0f} ft lateral, "
            f"{design['spacing']:,.0f} ft stage length, {design['fluid']:,.0f} gal/ft fluid")


def stages_note(design):
    """The length the stages cover against the lateral: more than the
    lateral is not a well that can be built."""
    covered = design["stages"] * design["spacing"]
    text = f"stages x length      {covered:,.0f} ft"
    if covered > design["lateral"]:
        return (text + f": longer than the {design['lateral']:,.0f} ft lateral, not a consistent design "
                "(choose --stages or --spacing)")
    return text + f" of the {design['lateral']:,.0f} ft lateral"


def report(design, isip, rates, cums, declines, out=None):
    out = sys.stdout if out is None else out
    print("Well design", file=out)
    print(f"  location             {location_text(design['lat'], design['lon'])}", file=out)
    print(f"  fracturing stages    {design['stages']:g}", file=out)
    print(f"  completed lateral    {design['lateral']:,.0f} ft", file=out)
    print(f"  average stage length {design['spacing']:,.0f} ft", file=out)
    print(f"  {stages_note(design)}", file=out)
    print(f"  fluid loading        {design['fluid']:,.0f} gal/ft", file=out)
    print(f"  ISIP (estimated)     {isip:,.0f} psia, from the play's geological model", file=out)
    print(file=out)
    print(f"Fitted hyperbolic declines (qi {RATE_UNIT}, Di 1/month):", file=out)
    for label, (qi, di, b) in declines.items():
        print(f"  {label:<6} qi {qi:>8,.1f}   Di {di:.4f}   b {b:.3f}", file=out)
    print(file=out)
    print(f"Forecast (rate {RATE_UNIT}, cumulative {CUM_UNIT}; model output = the monthly "
          "model's own cumulative):", file=out)
    print(f"  {'month':>5}  {'rate P90':>9} {'rate':>9} {'rate P10':>9}   "
          f"{'cum P90':>9} {'cum':>9} {'cum P10':>9}   {'model output':>12}", file=out)
    by_month = dict(zip(rates["Month"].astype(int), range(len(rates))))
    for month in REPORT_MONTHS:
        r, c = rates.iloc[by_month[month]], cums.iloc[by_month[month]]
        print(f"  {month:>5}  {r['P90']:>9,.1f} {r['q']:>9,.1f} {r['P10']:>9,.1f}   "
              f"{c['P90']:>9,.1f} {c['Q']:>9,.1f} {c['P10']:>9,.1f}   {c['Model Output']:>12,.1f}",
              file=out)
    print(file=out)
    last = cums.iloc[by_month[60]]
    print(f"60-month cumulative gas ({CUM_UNIT}):", file=out)
    for label, column in (("P90", "P90"), ("model", "Q"), ("P10", "P10")):
        print(f"  {label:<6}{last[column]:>10,.1f}", file=out)


EXTRAPOLATED_COLOUR = "#b2182b"


def falling_months(cums):
    """The months whose raw model output lies below the month before's (the
    first month's below 0)."""
    months = cums["Month"].to_numpy(dtype=float)
    outputs = cums["Model Output"].to_numpy(dtype=float)
    return months[1:][np.diff(outputs) < 0], outputs[1:][np.diff(outputs) < 0]


def mark_cautions(fig, axes, ax_cum, cums, cautions):
    """The module's warnings on the picture: an EXTRAPOLATED banner naming the
    values outside the play's envelope, and the raw outputs that fall circled."""
    if cautions.get("falling"):
        months, outputs = falling_months(cums)
        ax_cum.plot(months, outputs, "o", markersize=11, markerfacecolor="none", markeredgewidth=1.6,
                    color=EXTRAPOLATED_COLOUR, label="raw output below the month before")
    if cautions.get("extrapolated"):
        for ax in axes:
            ax.text(0.5, 0.5, "EXTRAPOLATED", transform=ax.transAxes, ha="center", va="center", rotation=25,
                    fontsize=40, fontweight="bold", color=EXTRAPOLATED_COLOUR, alpha=0.18, zorder=0)
        items = "\n".join(textwrap.wrap("EXTRAPOLATED: the play's models were not trained here: " +
                                         cautions["extrapolated"], 150))
        fig.text(0.5, 0.005, items, ha="center", va="bottom", fontsize=9, color=EXTRAPOLATED_COLOUR,
                 bbox=dict(boxstyle="round", facecolor="#fde0dd", edgecolor=EXTRAPOLATED_COLOUR))
        return items.count("\n") + 1
    return 0


def plot_forecast(path, driver, design, isip, cums, declines, demo, cautions=None):
    months = np.linspace(0.0, float(quon.nOutputMonthList[-1]), 241)
    drawn = curves(driver, declines, months)
    fig, (ax_rate, ax_cum) = plt.subplots(1, 2, figsize=(12, 5.4))

    for ax, k, unit, title in ((ax_rate, 0, RATE_UNIT, "Gas rate"), (ax_cum, 1, CUM_UNIT, "Cumulative gas")):
        ax.fill_between(months, drawn["P90"][k], drawn["P10"][k], color=BAND_COLOUR, alpha=0.6,
                        linewidth=0, label="P10–P90 band (fitted)")
        ax.plot(months, drawn["model"][k], color=LINE_COLOUR, linewidth=2, label="fitted model curve")
        ax.set_ylabel(f"{title} ({unit})")
        ax.set_title(title)
    ax_cum.plot(cums["Month"].to_numpy(dtype=float)[1:], cums["Model Output"].to_numpy()[1:], "o",
                color="#d95f02", markersize=4, label="monthly model output")
    last = cums.iloc[-1]
    ax_cum.annotate(f"month 60: {last['P90']:,.0f} / {last['Q']:,.0f} / {last['P10']:,.0f} {CUM_UNIT}\n"
                    "(P90 / model / P10)", xy=(0.98, 0.04), xycoords="axes fraction",
                    ha="right", va="bottom", fontsize=9)
    banner_lines = mark_cautions(fig, (ax_rate, ax_cum), ax_cum, cums, cautions or {})

    for ax in (ax_rate, ax_cum):
        ax.set_xlabel("Month on production")
        ax.set_xlim(0, months[-1] + 2)
        ax.set_xticks(range(0, int(months[-1]) + 1, 6))
        ax.set_ylim(bottom=0)
        ax.yaxis.set_major_formatter(matplotlib.ticker.StrMethodFormatter("{x:,.0f}"))
        ax.grid(True, color="0.9")
        ax.legend(loc="upper right" if ax is ax_rate else "upper left", frameon=False)

    extrapolated = "EXTRAPOLATED " if (cautions or {}).get("extrapolated") else ""
    save_figure(fig, path, f"{extrapolated}Gas forecast at {location_text(design['lat'], design['lon'])}: "
                f"{design_text(design)}\nISIP {isip:,.0f} psia (estimated from the location); "
                f"{play_source(demo)}", fontsize=11, dpi=110, bottom=0.03 + 0.03 * banner_lines)


def save_figure(fig, path, title, fontsize, dpi, bottom=0.0):
    """Titles the figure, lays it out (leaving `bottom` of its height free),
    writes it to path and closes it."""
    fig.suptitle(title, fontsize=fontsize)
    fig.tight_layout(rect=(0, bottom, 1, 1))
    fig.savefig(path, dpi=dpi)
    plt.close(fig)


def play_source(demo):
    """Where the pictures' forecasts come from, for their titles."""
    return "demo play: models trained on synthetic wells" if demo else "play models: " + quon.playDesignationDir


def add_location_arguments(parser):
    """--play, and --lat and --lon, both defaulting to the middle of the map window."""
    parser.add_argument("--play", help="the play folder (holding GeoModel/ and Model/); default: the play "
                                       "beside the module")
    parser.add_argument("--lat", type=float, help="latitude, degrees (default: middle of the map window)")
    parser.add_argument("--lon", type=float, help="longitude, degrees (default: middle of the map window)")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_location_arguments(parser)
    parser.add_argument("--stages", type=int, help="number of fracturing stages (default: as many as fit the lateral, 6)")
    parser.add_argument("--lateral", type=float, help="completed lateral length, ft (default 3000)")
    parser.add_argument("--spacing", type=float, help="average stage length, ft (default 500)")
    parser.add_argument("--fluid", type=float, help="fluid loading, gal/ft (default 500)")
    parser.add_argument("--out", default="out", help="output folder (default: out)")
    args = parser.parse_args(argv)

    driver = load_driver(args.play)
    if driver is None:
        return 1
    design = default_design(driver)
    for key in design:
        if getattr(args, key) is not None:
            design[key] = getattr(args, key)
    bad = [f"--{key} {value}" for key, value in design.items() if not math.isfinite(value)]
    if bad:
        print(f"error: {', '.join(bad)}: a location and a design must be finite numbers", file=sys.stderr)
        return 2
    try:
        rates, cums, cautions = forecast(driver, design)
    except ValueError as e:  # a design that is not a well
        print(f"error: {str(e).replace('CMainDravex.Predict: ', '')}", file=sys.stderr)
        return 2
    if cautions["extrapolated"]:
        print(f"note: the forecast extrapolates: {cautions['extrapolated']}", file=sys.stderr)
    if cautions["falling"]:
        print(f"note: {cautions['falling']}", file=sys.stderr)
    isip = estimated_isip(driver, design)
    declines = fitted_declines(driver)
    report(design, isip, rates, cums, declines)

    os.makedirs(args.out, exist_ok=True)
    picture = os.path.join(args.out, "forecast.png")
    demo = os.path.isfile(os.path.join(driver.m_filesDir, DEMO_STAMP))
    plot_forecast(picture, driver, design, isip, cums, declines, demo, cautions)
    print(f"\nwritten: {picture}")
    return 0


if __name__ == "__main__":
    from closed_pipe import tolerate_early_reader_exit
    tolerate_early_reader_exit()
    sys.exit(main(sys.argv[1:]))

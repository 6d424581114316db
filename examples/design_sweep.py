"""Which completion pays at a location: sweeps stage spacing and fluid loading
for one lateral with the quon module's batch forecast, maps the 60-month gas
and its uncertainty, and lists the designs that make the most gas per foot.

    PYTHONPATH=build /usr/bin/python3 examples/design_sweep.py [--lat DEG] [--lon DEG]
        [--lateral FT] [--top N] [--out DIR] [--play DIR]

The models are those of the play folder named by --play, by default the
play beside the module (DataFiles/Marcellus Shale; in a source checkout
`make build` generates a demo play there, trained on synthetic wells). Without arguments the wells sit in the middle of the
driver's map window with a 6,000 ft lateral.

The sweep covers the play's ranges (the driver's slider ranges, narrowed to
the steps inside the play's envelope when it has one): stage spacing
(average stage length) from 100 to 1,000 ft in steps of 25 ft and fluid
loading from 100 to 3,000 gal/ft in steps of 100 gal/ft (125 to 1,000 ft and
200 to 2,900 gal/ft with the demo play). Each design
has as many stages as fit in the lateral (lateral // spacing), so stages x
spacing never exceeds the lateral; spacings that would need fewer than 4 or
more than 40 stages (the play's stage range) are left out. All designs go to
CMainDravex.PredictBatch in one call.

Printed: the location, lateral and grid, then the best designs by 60-month
gas per 1,000 ft of lateral (model, P90 and P10) with their stage count,
spacing and fluid loading, and the well's 60-month model gas. Written to
DIR (default out/):

- design_sweep.png: left, the 60-month model cumulative gas ("Q") over
  spacing and fluid loading, the best design marked; right, the P10-P90
  spread of the same forecast. The monthly models are tree ensembles, so
  the maps change in steps where a tree splits.

Volumes are MMcf and rates Mcf/d with the demo play (its models are trained
on cumulatives in thousands of Mcf).
"""
import argparse
import os
import sys
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
import matplotlib.ticker  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import quon  # noqa: E402
from forecast_well import (DEMO_STAMP, add_location_arguments, load_driver, location_text,  # noqa: E402
                           play_source, save_figure)

CUM_UNIT = "MMcf"
MONTH = 60
SPACING_STEP = 25.0  # ft
FLUID_STEP = 100.0  # gal/ft
MIN_STAGES, MAX_STAGES = 4, 40


def sweep_range(driver, column, step):
    """The slider range of a design column, narrowed to the steps inside the
    play's envelope when the play has one: the models were trained there."""
    lo, hi = driver.m_minSliderVar[column], driver.m_maxSliderVar[column]
    envelope = (driver.m_designEnvelope or {}).get("monthly models", {})
    if column in envelope:
        trained_lo, trained_hi = envelope[column]
        lo = max(lo, step * np.ceil(trained_lo / step))
        hi = min(hi, step * np.floor(trained_hi / step))
    return lo, hi


def sweep_designs(driver, lat, lon, lateral):
    """The grid of designs: every spacing and fluid loading of the play's
    ranges whose stage count (lateral // spacing) lies in the play's range."""
    lo_s, hi_s = sweep_range(driver, quon.strFracSpacing, SPACING_STEP)
    lo_f, hi_f = sweep_range(driver, quon.strFluidVolumePerLen, FLUID_STEP)
    spacings = np.arange(lo_s, hi_s + SPACING_STEP / 2, SPACING_STEP)
    stages = np.floor(lateral / spacings)
    keep = (stages >= MIN_STAGES) & (stages <= MAX_STAGES)
    spacings, stages = spacings[keep], stages[keep]
    fluids = np.arange(lo_f, hi_f + FLUID_STEP / 2, FLUID_STEP)
    spacing_grid, fluid_grid = np.meshgrid(spacings, fluids)
    stage_grid = np.floor(lateral / spacing_grid)
    n = spacing_grid.size
    return pd.DataFrame({
        quon.strLatitudeMid: np.full(n, lat),
        quon.strLongitudeMid: np.full(n, lon),
        quon.strFracStages: stage_grid.ravel(),
        quon.strWellLen: np.full(n, lateral),
        quon.strFracSpacing: spacing_grid.ravel(),
        quon.strFluidVolumePerLen: fluid_grid.ravel(),
    }), spacings, fluids


def forecast(driver, designs):
    """The cumulative table of every design; a note on stderr when some fits
    failed (their columns are NaN and show as gaps in the map)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        _, cums = driver.PredictBatch(designs)
    for w in caught:
        print(f"note: {w.message}", file=sys.stderr)
    per_design = cums.groupby("Design", sort=False)["Outside Envelope"].first()
    outside = per_design.fillna("").str.len() > 0
    if outside.any():
        print(f"note: {int(outside.sum())} of {len(per_design)} designs lie outside the play's envelope "
              "(the models extrapolate there), e.g. in " + per_design[outside].iloc[0], file=sys.stderr)
    return cums


def at_month(cums, designs, month):
    """One row per design: its design values and its forecast at `month`."""
    rows = cums[cums["Month"] == month].set_index("Design")
    return designs.join(rows[["P90", "Q", "P10"]])


def best_designs(table, lateral, top):
    per_kft = 1000.0 / lateral
    ranked = table.assign(per_kft=table["Q"] * per_kft, p90_kft=table["P90"] * per_kft,
                          p10_kft=table["P10"] * per_kft)
    return ranked.sort_values("per_kft", ascending=False, kind="stable").head(top)


def report(lat, lon, lateral, spacings, fluids, n, best, out=None):
    out = sys.stdout if out is None else out
    print("Design sweep", file=out)
    print(f"  location          {location_text(lat, lon)}", file=out)
    print(f"  lateral           {lateral:,.0f} ft", file=out)
    print(f"  stage spacing     {spacings[0]:,.0f} to {spacings[-1]:,.0f} ft in steps of {SPACING_STEP:g} ft "
          f"({lateral // spacings[-1]:.0f} to {lateral // spacings[0]:.0f} stages)", file=out)
    print(f"  fluid loading     {fluids[0]:,.0f} to {fluids[-1]:,.0f} gal/ft in steps of {FLUID_STEP:g} gal/ft",
          file=out)
    print(f"  designs           {n:,} in one PredictBatch call", file=out)
    print(file=out)
    print(f"Best designs by {MONTH}-month gas per 1,000 ft of lateral ({CUM_UNIT} per 1,000 ft; P90 low case, "
          "P10 high case):", file=out)
    print(f"  {'rank':>4}  {'stages':>6} {'spacing ft':>10} {'fluid gal/ft':>12}   "
          f"{'model':>7} {'P90':>7} {'P10':>7}   {'model ' + CUM_UNIT:>10}", file=out)
    for rank, (_, row) in enumerate(best.iterrows(), start=1):
        print(f"  {rank:>4}  {row[quon.strFracStages]:>6.0f} {row[quon.strFracSpacing]:>10,.0f} "
              f"{row[quon.strFluidVolumePerLen]:>12,.0f}   "
              f"{row['per_kft']:>7,.1f} {row['p90_kft']:>7,.1f} {row['p10_kft']:>7,.1f}   {row['Q']:>10,.0f}",
              file=out)


def plot_sweep(path, table, spacings, fluids, lat, lon, lateral, best, demo):
    shape = (len(fluids), len(spacings))
    q = table["Q"].to_numpy().reshape(shape)
    spread = (table["P10"] - table["P90"]).to_numpy().reshape(shape)
    half = SPACING_STEP / 2, FLUID_STEP / 2
    extent = (spacings[0] - half[0], spacings[-1] + half[0], fluids[0] - half[1], fluids[-1] + half[1])
    fig, axes = plt.subplots(1, 2, figsize=(14, 6.2), sharey=True)
    panels = ((axes[0], q, "viridis", f"{MONTH}-month cumulative gas, model (Q)"),
              (axes[1], spread, "magma_r", f"P10 − P90 spread of the {MONTH}-month gas"))
    top = best.iloc[0]
    for ax, values, cmap, title in panels:
        image = ax.imshow(values, origin="lower", extent=extent, aspect="auto", cmap=cmap, interpolation="nearest")
        bar = fig.colorbar(image, ax=ax, pad=0.02, format=matplotlib.ticker.StrMethodFormatter("{x:,.0f}"))
        bar.set_label(f"{CUM_UNIT} at month {MONTH}")
        ax.plot(top[quon.strFracSpacing], top[quon.strFluidVolumePerLen], marker="*", markersize=16,
                markerfacecolor="white", markeredgecolor="black", linestyle="none",
                label=f"most gas per foot: {top[quon.strFracStages]:.0f} stages of "
                      f"{top[quon.strFracSpacing]:,.0f} ft, {top[quon.strFluidVolumePerLen]:,.0f} gal/ft")
        ax.set_title(title)
        ax.set_xlabel("Stage spacing (average stage length), ft")
        # The stage count that goes with each spacing, on the top axis.
        stages_axis = ax.secondary_xaxis("top", functions=(lambda s: lateral / np.maximum(s, 1.0),
                                                           lambda n: lateral / np.maximum(n, 1.0)))
        stages_axis.set_xticks([n for n in (40, 30, 24, 20, 16, 12, 10, 8, 6, 5, 4)
                                if spacings[0] <= lateral / n <= spacings[-1]])
        stages_axis.set_xlabel("Stages in the lateral", fontsize=9)
        ax.xaxis.set_major_formatter(matplotlib.ticker.StrMethodFormatter("{x:,.0f}"))
    axes[0].set_ylabel("Fluid loading, gal/ft")
    axes[0].yaxis.set_major_formatter(matplotlib.ticker.StrMethodFormatter("{x:,.0f}"))
    axes[0].legend(loc="upper center", bbox_to_anchor=(1.05, -0.12), frameon=False, fontsize=10)
    save_figure(fig, path, f"Completion design sweep at {location_text(lat, lon)}, {lateral:,.0f} ft lateral "
                f"({len(table):,} designs); {play_source(demo)}", fontsize=12, dpi=100)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_location_arguments(parser)
    parser.add_argument("--lateral", type=float, default=6000.0, help="completed lateral length, ft (default 6000)")
    parser.add_argument("--top", type=int, default=5, help="designs to list (default 5)")
    parser.add_argument("--out", default="out", help="output folder (default: out)")
    args = parser.parse_args(argv)

    driver = load_driver(args.play)
    if driver is None:
        return 1
    lat = args.lat if args.lat is not None else 0.5 * (driver.m_minLat + driver.m_maxLat)
    lon = args.lon if args.lon is not None else 0.5 * (driver.m_minLong + driver.m_maxLong)
    lateral = args.lateral
    designs, spacings, fluids = sweep_designs(driver, lat, lon, lateral)
    if len(spacings) == 0:
        print(f"--lateral {lateral:g}: no stage spacing of the play's range gives {MIN_STAGES} to {MAX_STAGES} "
              "stages", file=sys.stderr)
        return 1
    table = at_month(forecast(driver, designs), designs, MONTH)
    best = best_designs(table, lateral, args.top)
    report(lat, lon, lateral, spacings, fluids, len(designs), best)

    os.makedirs(args.out, exist_ok=True)
    picture = os.path.join(args.out, "design_sweep.png")
    demo = os.path.isfile(os.path.join(driver.m_filesDir, DEMO_STAMP))
    plot_sweep(picture, table, spacings, fluids, lat, lon, lateral, best, demo)
    print(f"\nwritten: {picture}")
    return 0


if __name__ == "__main__":
    from closed_pipe import tolerate_early_reader_exit
    tolerate_early_reader_exit()
    sys.exit(main(sys.argv[1:]))

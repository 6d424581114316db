#!/usr/bin/env python3
"""Writes a demonstration play data directory for the forecasting module.

The models are trained on SYNTHETIC wells, not on field data: they exist so
that the forecasting module can be run and tested end to end. Users bring
their own trained models in the same layout:

    <target>/DataFiles/Marcellus Shale/
        GeoModel/isip (psia) median blended.pickle   ISIP (psia) from [[lat, lon]]
        Model/<month>/model.pickle                   gradient-boosted regressor of the
                                                     month's cumulative gas (thousands
                                                     of the rate's volume unit)
        Model/<month>/modelPredictTest.csv           "model" and "real" of held-out wells
        envelope.json                                ranges of the training designs and
                                                     locations (what Predict warns outside)
        SHA256SUMS                                   SHA-256 of every file above, checked
                                                     by Process

for the months 6, 8, ..., 60 (docs/forecast-plays.md).

The synthetic wells lie inside the driver's map window (latitude 41.38 to
41.99, longitude -77.59 to -75.56) and have designs inside its slider ranges.
ISIP is a smooth function of location. Each well produces along an Arps
hyperbolic decline whose initial rate grows with stage count, lateral length,
fluid loading and ISIP, with log-normal scatter; the months' targets are that
curve's cumulatives with a little measurement noise (one factor per well, so
its cumulatives rise). Each month's model continues the previous month's
trees with trees of the increment whose negative leaves are set to zero, so
the models' raw cumulatives rise from month to month for every design
(month_model below). Everything is seeded, so the same arguments write the
same files.

Usage: make_demo_play.py TARGET_DIR [--wells N] [--trees N] [--force] [--quiet]
"""

import argparse
import hashlib
import json
import os
import pickle
import sys
import time

import numpy as np
import pandas as pd

PLAY_DIR = os.path.join("DataFiles", "Marcellus Shale")
MONTHS = list(range(6, 61, 2))
FEATURES = [  # the monthly models' input order
    "latitude mid",
    "longitude mid",
    "total number of stages blended",
    "isip (psia) median blended",
    "completed horizontal length blended",
    "average stage length blended",
    "fluid loading blended",
]
ISIP_COLUMN = "isip (psia) median blended"
LAT_RANGE = (41.38, 41.99)
LON_RANGE = (-77.59, -75.56)
Q_UNIT_FACTOR = 0.001 * 30.4375
SEED = 20261208


def true_isip(lat, lon):
    """ISIP (psia) over the map window: a deepening trend to the south-east
    with a gentle undulation."""
    u = (lat - LAT_RANGE[0]) / (LAT_RANGE[1] - LAT_RANGE[0])
    v = (lon - LON_RANGE[0]) / (LON_RANGE[1] - LON_RANGE[0])
    return 4300.0 + 900.0 * v - 600.0 * u + 250.0 * np.sin(3.0 * np.pi * v) * np.cos(2.0 * np.pi * u)


def arps_cumulative(qi, di, b, t):
    """Cumulative (thousands of volume units) of a hyperbolic decline."""
    return Q_UNIT_FACTOR * qi / (di * (1.0 - b)) * (1.0 - np.power(1.0 + b * di * t, 1.0 - 1.0 / b))


def synthetic_wells(n, rng):
    lat = rng.uniform(*LAT_RANGE, n)
    lon = rng.uniform(*LON_RANGE, n)
    well_len = rng.uniform(1000.0, 8000.0, n)
    # Stage length (ft) from the slider range; stage count follows from it.
    spacing = rng.uniform(100.0, 1000.0, n)
    stages = np.clip(np.round(well_len / spacing), 4, 40)
    spacing = well_len / stages
    fluid = rng.uniform(100.0, 3000.0, n)  # fluid loading, gal/ft
    isip = true_isip(lat, lon) + rng.normal(0.0, 60.0, n)
    # Initial rate (volume per day) from the completion and the rock.
    qi = (
        4200.0
        * (well_len / 5000.0) ** 0.85
        * (stages / 20.0) ** 0.25
        * (fluid / 1500.0) ** 0.30
        * (isip / 4500.0) ** 0.8
        * np.exp(rng.normal(0.0, 0.22, n))
    )
    di = rng.uniform(0.12, 0.30, n)  # 1/month
    b = rng.uniform(1.1, 1.6, n)
    table = pd.DataFrame(
        {
            FEATURES[0]: lat,
            FEATURES[1]: lon,
            FEATURES[2]: stages,
            FEATURES[3]: isip,
            FEATURES[4]: well_len,
            FEATURES[5]: spacing,
            FEATURES[6]: fluid,
        }
    )
    # A little measurement noise, one factor per well: a well's reported
    # cumulatives rise month after month, as a real well's do.
    noise = np.exp(rng.normal(0.0, 0.03, n))
    cumulative = {m: arps_cumulative(qi, di, b, m) * noise for m in MONTHS}
    return table, cumulative


def fingerprint(args):
    with open(__file__, "rb") as f:
        source = f.read()
    import xgboost

    text = json.dumps({"wells": args.wells, "trees": args.trees, "xgboost": xgboost.__version__})
    return hashlib.sha256(source + text.encode()).hexdigest()


def chain_trees(trees):
    """(trees of the first month's model, trees each later month adds): the
    28 models hold 28 x `trees` trees in all, as 28 models of `trees` would."""
    step = max(1, trees // 30)
    return max(1, trees - step * (len(MONTHS) - 1) // 2), step


LEARNING_RATE = 0.1


def month_model(previous, x, y, first, step, seed):
    """The month's regressor of cumulative gas. The first month's is trained
    on its cumulatives; every later month's continues the previous month's
    trees with `step` trees of the increment: trained on the previous model's
    output plus the increment, scaled so that `step` rounds of boosting take
    it in whole, and then every leaf of the new trees that would lower the
    output set to zero. So each month's output is the previous month's plus
    a sum of non-negative leaves: the raw cumulatives never fall, for any
    design (models trained month by month on their own fall from one month
    to the next for nearly every design, since the late months' increments
    are smaller than the models' errors)."""
    import xgboost

    settings = dict(max_depth=4, learning_rate=LEARNING_RATE, subsample=1.0, random_state=seed, n_jobs=1,
                    tree_method="exact")
    if previous is None:
        model = xgboost.XGBRegressor(n_estimators=first, **settings)
        model.fit(x, y)
        return model
    before = previous.predict(x).astype(np.float64)
    target = before + (y - before) / (1.0 - (1.0 - LEARNING_RATE) ** step)
    model = xgboost.XGBRegressor(n_estimators=step, **settings)
    model.fit(x, target, xgb_model=previous.get_booster())
    kept = previous.get_booster().num_boosted_rounds()
    clip_new_leaves(model.get_booster(), kept)
    after = model.predict(x)
    if not (after >= previous.predict(x)).all():
        raise RuntimeError("a month's model fell below the previous month's; the leaves were not clipped")
    return model


def clip_new_leaves(booster, kept):
    """Sets every negative leaf of the trees after the first `kept` to zero,
    through the booster's JSON form (leaf values are the split conditions
    and base weights of the nodes without children)."""
    model = json.loads(bytes(booster.save_raw(raw_format="json")))
    trees = model["learner"]["gradient_booster"]["model"]["trees"]
    for tree in trees[kept:]:
        for node, left in enumerate(tree["left_children"]):
            if left == -1:
                for key in ("split_conditions", "base_weights"):
                    tree[key][node] = max(0.0, tree[key][node])
    booster.load_model(bytearray(json.dumps(model).encode()))


ENVELOPE_FILE = "envelope.json"
MANIFEST_FILE = "SHA256SUMS"


def value_range(column):
    return [float(column.min()), float(column.max())]


def write_envelope(play, training, located, wells):
    """envelope.json: the ranges of the training wells' designs and of the
    locations the geological model was fitted on (docs/forecast-plays.md)."""
    envelope = {
        "source": f"tools/make_demo_play.py: {wells} synthetic training wells",
        "geological model": {c: value_range(located[c]) for c in FEATURES[:2]},
        "monthly models": {c: value_range(training[c]) for c in FEATURES},
    }
    with open(os.path.join(play, ENVELOPE_FILE), "w") as f:
        json.dump(envelope, f, indent=2)
        f.write("\n")


def write_manifest(play):
    """SHA256SUMS: the SHA-256 of every file of the play, in the format of
    sha256sum (`sha256sum -c SHA256SUMS` in the play folder checks them)."""
    lines = []
    for folder, _, names in os.walk(play):
        for name in names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, play).replace(os.sep, "/")
            if relative in (MANIFEST_FILE, ".generated"):
                continue
            with open(path, "rb") as f:
                lines.append(f"{hashlib.sha256(f.read()).hexdigest()}  {relative}")
    with open(os.path.join(play, MANIFEST_FILE), "w") as f:
        f.write("\n".join(sorted(lines, key=lambda line: line[66:])) + "\n")


def write_play(target, wells, trees, quiet=False):
    from sklearn.linear_model import LinearRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import PolynomialFeatures, StandardScaler

    def say(text):
        if not quiet:
            print(text, file=sys.stderr, flush=True)

    play = os.path.join(target, PLAY_DIR)
    rng = np.random.default_rng(SEED)
    n_test = max(20, wells // 5)
    table, cumulative = synthetic_wells(wells + n_test, rng)
    train, test = slice(0, wells), slice(wells, wells + n_test)

    geo_dir = os.path.join(play, "GeoModel")
    os.makedirs(geo_dir, exist_ok=True)
    geo = make_pipeline(StandardScaler(), PolynomialFeatures(3), LinearRegression())
    geo.fit(table[[FEATURES[0], FEATURES[1]]].to_numpy(), table[ISIP_COLUMN].to_numpy())
    with open(os.path.join(geo_dir, ISIP_COLUMN + ".pickle"), "wb") as f:
        pickle.dump(geo, f)
    say(f"demo play: {wells} synthetic training wells, {n_test} test wells -> {play}")

    started = time.time()
    x_train = table.iloc[train].reset_index(drop=True)
    x_test = table.iloc[test].reset_index(drop=True)
    first, step = chain_trees(trees)
    model = None
    for k, month in enumerate(MONTHS):
        model = month_model(model, x_train, cumulative[month][train], first, step, SEED)
        month_dir = os.path.join(play, "Model", str(month))
        os.makedirs(month_dir, exist_ok=True)
        with open(os.path.join(month_dir, "model.pickle"), "wb") as f:
            pickle.dump(model, f)
        predicted = model.predict(x_test)
        pd.DataFrame({"well": np.arange(len(x_test)), "model": predicted, "real": cumulative[month][test]}).to_csv(
            os.path.join(month_dir, "modelPredictTest.csv"), index=False
        )
        say(f"  month {month:2d} ({k + 1}/{len(MONTHS)}) trained, {time.time() - started:.1f} s")
    write_envelope(play, table.iloc[train], table, wells)
    write_manifest(play)
    return play


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("target", help="folder of the built module; DataFiles/ is written inside it")
    parser.add_argument("--wells", type=int, default=1200, help="training wells (default 1200)")
    parser.add_argument("--trees", type=int, default=120, help="trees per monthly model (default 120)")
    parser.add_argument("--force", action="store_true", help="write even if up to date")
    parser.add_argument("--quiet", action="store_true", help="no progress output")
    args = parser.parse_args(argv)

    stamp = os.path.join(args.target, PLAY_DIR, ".generated")
    wanted = fingerprint(args)
    if not args.force and os.path.isfile(stamp):
        with open(stamp) as f:
            if f.read().strip() == wanted:
                return 0
    write_play(args.target, args.wells, args.trees, args.quiet)
    with open(stamp, "w") as f:
        f.write(wanted + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

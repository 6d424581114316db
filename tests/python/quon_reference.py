"""An independent, plain-Python account of the forecasting steps, to check
the module against: the months' models are called through xgboost directly,
the bands computed with numpy and the fits done with scipy's curve_fit."""

import os
import pickle

import numpy as np
import pandas as pd
from scipy.optimize import curve_fit

Q_UNIT_FACTOR = 0.001 * 30.4375
B_PLAY = 1.3
MONTHS = list(range(6, 61, 2))
ISIP = "isip (psia) median blended"


def rate(qi, di, b, t):
    return qi * np.power(1.0 + b * di * t, -1 / b)


def cumulative(qi, di, b, t):
    return Q_UNIT_FACTOR * (qi / (di * (1 - b))) * (1 - np.power(1 + b * di * t, 1 - 1.0 / b))


def qi_by_cumulative(di, b, t, q):
    numerator = (q / Q_UNIT_FACTOR) * di * (1 - b)
    return numerator / (1 - np.power(1 + b * di * t, 1 - 1.0 / b))


def cumulative_list(t_list, qi, di, b):
    return [cumulative(qi, di, b, t) for t in t_list]


def fit(t_list, q_list):
    popt, _ = curve_fit(cumulative_list, t_list, q_list, p0=[1000, 0.01, B_PLAY],
                        bounds=([0.01, 0.0001, B_PLAY - 0.25], [100000.0, 99, B_PLAY + 0.7]),
                        ftol=0.01)
    qi, di, b = popt
    return [rate(qi, di, b, t) for t in t_list], cumulative_list(t_list, qi, di, b)


def band(test_table, num_bins=1):
    """(bounds, {bin: {"P10": .., "P90": ..}}) of one month's test table."""
    model = test_table["model"]
    top, bottom = max(model), min(model)
    delta = (top - bottom) / num_bins
    bounds, bands = [], {}
    for k in range(num_bins):
        lower = bottom + delta * k
        upper = lower + delta
        bounds.append(upper)
        rows = test_table[(model >= lower) & (model <= upper)]
        if len(rows) == 0:
            bands[k] = {"P10": None, "P90": None}
            continue
        rows = rows.dropna(subset=["real", "model"])
        rows = rows[(rows["model"] > 0) & (rows["real"] > 0)]
        misses = ((rows["real"] - rows["model"]) / rows["model"]).tolist()
        p10, p90 = np.percentile(misses, 90), np.percentile(misses, 10)
        adj = 0.5 * (abs(p90) + abs(p10))
        bands[k] = {"P10": adj, "P90": -adj}
    return bounds, bands


def load_play(play_dir):
    with open(os.path.join(play_dir, "GeoModel", ISIP + ".pickle"), "rb") as f:
        geo = pickle.load(f)
    models, bounds, bands = {}, {}, {}
    for m in MONTHS:
        month_dir = os.path.join(play_dir, "Model", str(m))
        with open(os.path.join(month_dir, "model.pickle"), "rb") as f:
            models[m] = pickle.load(f)
        bounds[m], bands[m] = band(pd.read_csv(os.path.join(month_dir, "modelPredictTest.csv")))
    return geo, models, bounds, bands


def predict(play, lat, lon, frac_stages, well_len, frac_spacing, fluid_vol):
    geo, models, bounds, bands = play
    isip = geo.predict([[lat, lon]])[0]
    row = [lat, lon, frac_stages, isip, well_len, frac_spacing, fluid_vol]
    outputs, p10, p90 = [], [], []
    for m in MONTHS:
        model = models[m]
        data = pd.DataFrame(np.array([row]), columns=model.get_booster().feature_names)
        out = model.predict(data)[0]
        outputs.append(out)
        k = 0
        while k < len(bounds[m]) and not out < bounds[m][k]:
            k += 1
        k = min(k, len(bounds[m]) - 1)
        p10.append(out * (1 + bands[m][k]["P10"]))
        p90.append(out * (1 + bands[m][k]["P90"]))
    t = [0] + MONTHS
    q_rate, q_cum = fit(t, [0] + outputs)
    p10_rate, p10_cum = fit(t, [0] + p10)
    p90_rate, p90_cum = fit(t, [0] + p90)
    rates = pd.DataFrame({"Month": t, "P90": p90_rate, "q": q_rate, "P10": p10_rate})
    cums = pd.DataFrame({"Month": t, "P90": p90_cum, "Q": q_cum, "P10": p10_cum,
                         "Model Output": [0] + outputs})
    return rates, cums, outputs


# ------------------------------------------------ agreement of two decline fits
#
# The fit stops once a step gains less than 1 % of the cost (ftol 0.01), in a
# valley that is often flat: on about half of the series of the driver's kind
# curve_fit's own answer moves by more than a millionth when its data move by
# one unit in the last place. Two fitters that round differently can only
# agree to a millionth where curve_fit's answer is determined that finely.

def curves_close(got, want, q, rel=1e-6, of_scale=1e-9, rates_of_scale=None):
    """Fitted (rates, cumulatives) `got` within `rel` of `want`, value by
    value, or within `of_scale` of the largest value of the series (the
    rates: of the largest rate, `rates_of_scale` when given)."""
    rates_of_scale = of_scale if rates_of_scale is None else rates_of_scale
    for g, w, scale in ((got[0], want[0], rates_of_scale * np.max(np.abs(want[0]))),
                        (got[1], want[1], of_scale * np.max(np.abs(q)))):
        g, w = np.asarray(g, dtype=float), np.asarray(w, dtype=float)
        if not np.all(np.abs(g - w) <= np.maximum(rel * np.abs(w), scale)):
            return False
    return True


def fit_is_determined(t, q, seed=0):
    """Whether curve_fit's fitted curves stay within 1e-8 when each value of
    the series moves by one unit in the last place (two such moves are
    tried): its answer amplifies rounding by less than about 1e8, so that a
    fitter rounding otherwise at every step stays within a millionth."""
    rng = np.random.default_rng(seed)
    want = fit(t, q)
    for _ in range(2):
        moved = [v * (1 + np.finfo(float).eps * s) for v, s in zip(q, rng.choice([-1.0, 1.0], len(q)))]
        try:
            if not curves_close(fit(t, moved), want, q, rel=1e-8, of_scale=1e-11):
                return False
        except RuntimeError:
            return False
    return True


def fit_agreement(t, q, got, loose=1e-2):
    """How the fitted curves `got` compare with curve_fit's on the series:
    "close" (to a millionth), "undetermined" (not that close, but curve_fit
    itself is not determined that finely, and the cumulatives agree to
    `loose` of the series' scale, the rates, an extrapolation to month 0,
    to 5 x `loose` of the initial rate) or "different"."""
    want = fit(t, q)
    if curves_close(got, want, q):
        return "close"
    if not fit_is_determined(t, q) and curves_close(got, want, q, rel=0.0, of_scale=loose,
                                                      rates_of_scale=5 * loose):
        return "undetermined"
    return "different"

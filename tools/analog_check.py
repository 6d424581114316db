"""A synthetic survey of EOR projects to judge the analog ranking against.

    PYTHONPATH=build /usr/bin/python3 tools/analog_check.py [--projects 200] [--seeds 5]

Projects are drawn per method from the published field ranges of the applied
methods (the AB11 ranges in the screening sources: gravity, viscosity,
porosity, permeability, depth, temperature; net pay from the T97 notes), in
proportions like those of a worldwide survey (steam and CO2 most common,
nitrogen rare). Within its range a parameter is drawn around the range's
middle (logarithmic for viscosity and permeability), viscosity tied to
gravity, temperature to depth. Prints the leave-one-out figures of
evaluate_analogs for a few seeds and k.
"""
import argparse
import warnings

import numpy as np
import pandas as pd

# label: (share, gravity, viscosity cP, porosity %, permeability mD, depth ft, temperature F, net pay ft)
METHODS = {
    "Steam": (0.30, (8, 30), (3, 5e6), (12, 65), (1, 15000), (200, 9000), (10, 350), (20, 400)),
    "Combustion": (0.07, (10, 38), (1.44, 2770), (14, 35), (10, 15000), (400, 11300), (64, 230), (10, 150)),
    "CO2 miscible": (0.22, (22, 45), (0.3, 35), (3, 37), (1.5, 4500), (1500, 13365), (82, 250), (10, 300)),
    "CO2 immiscible": (0.04, (11, 35), (0.6, 592), (17, 32), (30, 1000), (1150, 8500), (82, 198), (10, 200)),
    "Hydrocarbon miscible": (0.10, (23, 57), (0.04, 18), (4.25, 45), (0.1, 5000), (4040, 15900), (85, 329), (10, 400)),
    "Nitrogen": (0.04, (16, 54), (0.1, 18), (7.5, 28), (0.2, 2800), (1700, 18500), (82, 325), (10, 500)),
    "Polymer": (0.16, (13, 42.5), (0.4, 4000), (10.4, 33), (1.8, 5500), (700, 9460), (74, 237), (5, 150)),
    "ASP": (0.03, (23, 34), (3, 6500), (26, 32), (596, 1520), (2723, 3900), (118, 158), (5, 60)),
    "Microbial": (0.04, (12, 33), (1.7, 8900), (12, 26), (50, 200), (1572, 3464), (86, 90), (5, 60)),
}
LOG = {2, 4, 7}   # positions drawn on a log scale


def draw(rng, lo, hi, log):
    if log:
        lo, hi = np.log10(lo), np.log10(hi)
    x = rng.normal((lo + hi) / 2, (hi - lo) / 5)
    x = min(max(x, lo), hi)
    return 10 ** x if log else x


def survey(n, seed):
    rng = np.random.default_rng(seed)
    labels = list(METHODS)
    shares = np.array([METHODS[m][0] for m in labels])
    rows = []
    for i in range(n):
        m = labels[rng.choice(len(labels), p=shares / shares.sum())]
        ranges = METHODS[m]
        v = [draw(rng, *ranges[j], j in LOG) for j in range(1, 8)]
        g_lo, g_hi = ranges[1]
        # heavier oil, more viscous: move the viscosity with the gravity's place in its range
        t = (v[0] - g_lo) / (g_hi - g_lo)
        lv_lo, lv_hi = np.log10(ranges[2][0]), np.log10(ranges[2][1])
        v[1] = 10 ** (lv_hi - t * (lv_hi - lv_lo) + rng.normal(0, 0.15 * (lv_hi - lv_lo)))
        rows.append({"field": f"F{i // 2 if rng.random() < 0.3 else i + 1000}", "method": m,
                     "oil_density_max_val_deg_api": v[0], "oil_viscosity_max_val_cp": v[1],
                     "porosity_avg_pct": v[2], "permeab_avg_md": v[3], "top_depth_feet": v[4],
                     "temp_max_val_deg_c": (v[5] - 32) / 1.8, "net_thickn_max_val_feet": v[6]})
    return pd.DataFrame(rows)


def main():
    import zelt

    ap = argparse.ArgumentParser()
    ap.add_argument("--projects", type=int, default=200)
    ap.add_argument("--seeds", type=int, default=5)
    ap.add_argument("--k", type=int, nargs="*", default=[3, 5, 7, 11])
    a = ap.parse_args()
    for k in a.k:
        runs = []
        for seed in range(a.seeds):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                s, _ = zelt.evaluate_analogs(survey(a.projects, seed), k=k, group="field", verbose=False)
            runs.append(s.set_index("Ranking")["Top1"])
        mean = pd.concat(runs, axis=1).mean(axis=1)
        print(f"k={k:2d} top-1 " + "  ".join(f"{name} {value:.3f}" for name, value in mean.items()))


if __name__ == "__main__":
    main()

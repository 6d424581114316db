"""rank_by_analogs and evaluate_analogs against plain-Python references:
nearest projects and votes on random tables, leave-one-out with and without
groups, missing parameters, knock-outs on reported values, bad input."""
import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import zelt

# The distance parameters the references know: column, log scale.
PARAMS = [("oil_density_max_val_deg_api", False), ("oil_viscosity_max_val_cp", True),
          ("top_depth_feet", False), ("net_thickn_max_val_feet", True), ("permeab_avg_md", True),
          ("porosity_avg_pct", False), ("temp_max_val_deg_c", False)]
RANGES = {"oil_density_max_val_deg_api": (10, 45), "oil_viscosity_max_val_cp": (0.5, 5000),
          "top_depth_feet": (1000, 12000), "net_thickn_max_val_feet": (10, 300),
          "permeab_avg_md": (1, 3000), "porosity_avg_pct": (8, 35), "temp_max_val_deg_c": (20, 120)}
LABELS = ["Steam", "CO2 miscible", "Polymer", "Hydrocarbon miscible", "Nitrogen", "Microbial"]
FAMILY = {"Steam": "thermal", "CO2 miscible": "CO2", "Polymer": "chemical",
          "Hydrocarbon miscible": "hydrocarbon gas", "Nitrogen": "nitrogen", "Microbial": "other"}


def random_table(rng, n, missing=0.15, labels=True):
    cols = {}
    for name, (lo, hi) in RANGES.items():
        v = rng.uniform(lo, hi, n)
        v[rng.random(n) < missing] = np.nan
        cols[name] = v
    t = pd.DataFrame(cols)
    if labels:
        t["method"] = rng.choice(LABELS, n)
    return t


# ---------------------------------------------------------------- references

def transformed(t):
    out = np.empty((len(t), len(PARAMS)))
    for p, (name, log) in enumerate(PARAMS):
        v = t[name].to_numpy(float)
        out[:, p] = np.log10(v) if log else v
    return out


def spreads(x):
    s = []
    for p in range(x.shape[1]):
        v = x[:, p][~np.isnan(x[:, p])]
        q75, q25 = np.percentile(v, [75, 25])
        s.append((q75 - q25) / 1.349)
    return np.array(s)


def neighbours(res, proj, k, min_shared=3, exclude=None):
    """Nearest projects of every reservoir as the plain definition reads."""
    s = spreads(proj)
    out = []
    for r in range(len(res)):
        if np.sum(~np.isnan(res[r])) < min_shared:
            out.append(None)
            continue
        cand = []
        for j in range(len(proj)):
            if exclude is not None and exclude(r, j):
                continue
            both = ~np.isnan(res[r]) & ~np.isnan(proj[j])
            if both.sum() < min_shared:
                continue
            d = math.sqrt(np.mean(((res[r][both] - proj[j][both]) / s[both]) ** 2))
            cand.append((d, j))
        cand.sort()
        out.append(cand[:k])
    return out


def supports(near, labels):
    out = []
    for cand in near:
        if not cand:
            out.append(None)
            continue
        w = {}
        for d, j in cand:
            w[labels[j]] = w.get(labels[j], 0.0) + 1.0 / (d + 0.1)
        total = sum(w.values())
        out.append({m: v / total for m, v in w.items()})
    return out


def quiet(f, *a, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return f(*a, **kw)


# ------------------------------------------------------------------- ranking

@pytest.mark.parametrize("seed", [1, 2, 3])
def test_ranking_matches_plain_nearest_neighbours(seed):
    rng = np.random.default_rng(seed)
    projects = random_table(rng, 120)
    reservoirs = random_table(rng, 25, labels=False)
    k = 5
    ranking, analogs = quiet(zelt.rank_by_analogs, reservoirs, projects, k=k)
    near = neighbours(transformed(reservoirs), transformed(projects), k)
    expected = supports(near, projects["method"].tolist())
    for r in range(len(reservoirs)):
        got = ranking[ranking["Reservoir_ID"] == r]
        if expected[r] is None:
            assert got.empty
            continue
        assert sorted(got["Method"]) == sorted(set(projects["method"]))
        for m, s in zip(got["Method"], got["Support"]):
            assert s == pytest.approx(expected[r].get(m, 0.0), abs=1e-12)
        a = analogs[analogs["Reservoir_ID"] == r]
        assert a["Project"].tolist() == [j for _, j in near[r]]
        np.testing.assert_allclose(a["Distance"], [d for d, _ in near[r]], rtol=1e-12)
        assert a["Method"].tolist() == [projects["method"][j] for _, j in near[r]]


def test_ranks_order_support_and_share_ties():
    rng = np.random.default_rng(5)
    projects = random_table(rng, 60, missing=0.0)
    ranking, _ = zelt.rank_by_analogs(random_table(rng, 10, missing=0.0, labels=False), projects, k=3)
    for _, g in ranking.groupby("Reservoir_ID"):
        live = g[~g["KnockedOut"]]
        for (_, a), (_, b) in zip(live.iterrows(), live.iloc[1:].iterrows()):
            assert a["Rank"] <= b["Rank"]
            assert a["Support"] >= b["Support"]
        zero = live[live["Support"] == 0]
        # labels without votes and the same screen score share the better rank
        for _, same in zero.groupby("ScreenScore"):
            assert same["Rank"].nunique() == 1
        assert g["Rank"].min() == 1


def test_any_index_and_ids_and_outcomes():
    rng = np.random.default_rng(7)
    projects = random_table(rng, 30, missing=0.0)
    projects.index = [f"P{i}" for i in range(30)][::-1]
    projects["outcome"] = rng.choice(["successful", "discontinued"], 30)
    reservoirs = random_table(rng, 4, missing=0.0, labels=False)
    reservoirs.index = [10, 10, 3, 3]
    reservoirs["resv_id"] = ["a", "b", "c", "d"]
    ranking, analogs = zelt.rank_by_analogs(reservoirs, projects, k=2)
    assert list(dict.fromkeys(ranking["Reservoir_ID"])) == ["a", "b", "c", "d"]
    assert set(analogs["Project"]) <= set(projects.index)
    for _, row in analogs.iterrows():
        assert row["Outcome"] == projects.loc[row["Project"], "outcome"]
        assert row["Method"] == projects.loc[row["Project"], "method"]


# ------------------------------------------------------- missing parameters

def test_missing_parameters_left_out_not_defaulted():
    projects = pd.DataFrame({
        "method": ["Steam", "CO2 miscible", "Polymer", "Steam"],
        "oil_density_max_val_deg_api": [12.0, 38.0, 25.0, 14.0],
        "top_depth_feet": [1500.0, 7000.0, 4000.0, 2000.0],
        "porosity_avg_pct": [30.0, 15.0, 25.0, 28.0],
        "temp_max_val_deg_c": [40.0, 80.0, 60.0, 45.0],
    })
    # gravity, depth and porosity reported; the temperature missing must not
    # be filled (a default of the screen would be about 60 C)
    res = pd.DataFrame({"oil_density_max_val_deg_api": [13.0], "top_depth_feet": [1800.0],
                        "porosity_avg_pct": [29.0], "temp_max_val_deg_c": [np.nan]})
    _, analogs = zelt.rank_by_analogs(res, projects, k=4)
    x = transformed_subset(projects, ["oil_density_max_val_deg_api", "top_depth_feet", "porosity_avg_pct"])
    s = spreads_of(projects)
    r = np.array([13.0, 1800.0, 29.0])
    d = np.sqrt(np.mean(((x - r) / s[:3]) ** 2, axis=1))
    np.testing.assert_allclose(analogs["Distance"], np.sort(d), rtol=1e-12)

    few = pd.DataFrame({"oil_density_max_val_deg_api": [13.0, 30.0], "top_depth_feet": [1800.0, 5000.0],
                        "porosity_avg_pct": [np.nan, 20.0], "resv_id": ["thin", "full"]})
    with pytest.warns(UserWarning, match=r"no ranking for the reservoirs 'thin': fewer than 3"):
        ranking, _ = zelt.rank_by_analogs(few, projects, k=2)
    assert set(ranking["Reservoir_ID"]) == {"full"}


def transformed_subset(t, names):
    return t[names].to_numpy(float)


def spreads_of(t):
    names = ["oil_density_max_val_deg_api", "top_depth_feet", "porosity_avg_pct", "temp_max_val_deg_c"]
    return np.array([(np.percentile(t[c], 75) - np.percentile(t[c], 25)) / 1.349 for c in names])


# ---------------------------------------------------------------- knock-outs

def test_reported_knock_out_stays_out():
    rng = np.random.default_rng(11)
    projects = random_table(rng, 40, missing=0.0)
    projects["method"] = "CO2 miscible"
    projects.loc[:5, "method"] = "Steam"
    # 8 API reported: every CO2 method is knocked out by its gravity stopper,
    # however many CO2 projects lie near
    res = projects.iloc[10:12, :-1].copy()
    res["oil_density_max_val_deg_api"] = 8.0
    res["net_thickn_max_val_feet"] = 100.0
    res["top_depth_feet"] = 1500.0
    ranking, _ = zelt.rank_by_analogs(res, projects, k=5)
    for _, g in ranking.groupby("Reservoir_ID"):
        co2 = g[g["Method"] == "CO2 miscible"].iloc[0]
        steam = g[g["Method"] == "Steam"].iloc[0]
        assert co2["KnockedOut"] and not steam["KnockedOut"]
        assert co2["Support"] > steam["Support"]
        assert co2["Rank"] > steam["Rank"]
    # the same gravity not reported (the screen's default) knocks nothing out
    res["oil_density_max_val_deg_api"] = np.nan
    ranking, _ = zelt.rank_by_analogs(res, projects, k=5)
    assert not ranking["KnockedOut"].any()


# -------------------------------------------------------------- leave-one-out

def slow_loo(projects, k, group=None):
    x = transformed(projects)
    labels = projects["method"].tolist()
    fam = [FAMILY[m] for m in labels]
    g = projects[group].tolist() if group else list(range(len(projects)))
    near = neighbours(x, x, k, exclude=lambda r, j: g[r] == g[j])
    top1 = top3 = 0.0
    for r, cand in enumerate(near):
        score = {f: 0.0 for f in ["thermal", "CO2", "hydrocarbon gas", "nitrogen", "chemical", "other"]}
        for m, s in (supports([cand], labels)[0] or {}).items():
            score[FAMILY[m]] += s
        t = score[fam[r]]
        better = sum(v > t for v in score.values())
        tied = sum(v == t for v in score.values())
        top1 += min(max((1 - better) / tied, 0), 1)
        top3 += min(max((3 - better) / tied, 0), 1)
    return top1 / len(projects), top3 / len(projects)


@pytest.mark.parametrize("group", [None, "field"])
def test_leave_one_out_matches_slow_reference(group, capsys):
    rng = np.random.default_rng(21)
    projects = random_table(rng, 80)
    projects["field"] = rng.integers(0, 25, 80)
    projects = projects[projects[[c for c, _ in PARAMS]].notna().sum(axis=1) >= 3].reset_index(drop=True)
    summary, detail = zelt.evaluate_analogs(projects, k=4, group=group)
    got = summary.set_index("Ranking")
    top1, top3 = slow_loo(projects, 4, group)
    assert got.loc["analogs", "Top1"] == pytest.approx(top1, abs=1e-12)
    assert got.loc["analogs", "Top3"] == pytest.approx(top3, abs=1e-12)
    assert (got["Projects"] == len(projects)).all()
    assert len(detail) == len(projects)
    for name in ["halvane_zelt", "uom_zelt", "combined"]:
        assert 0.0 <= got.loc[name, "Top1"] <= got.loc[name, "Top3"] <= 1.0
    assert "Leave-one-out by family over" in capsys.readouterr().out


def test_leave_one_out_counts_screen_ties_by_expectation():
    # identical light-oil projects: the first method ties CO2 and ASP (1.0 each)
    row = {"oil_density_max_val_deg_api": 40.0, "oil_viscosity_max_val_cp": 1.0, "top_depth_feet": 8000.0,
           "porosity_avg_pct": 15.0, "permeab_avg_md": 50.0, "temp_max_val_deg_c": 80.0,
           "net_thickn_max_val_feet": 60.0}
    projects = pd.DataFrame([dict(row, method=m) for m in ["CO2 miscible", "Polymer"] * 3])
    summary, detail = zelt.evaluate_analogs(projects, k=3, verbose=False)
    credit = detail["Top1_halvane_zelt"]
    top = set(detail["halvane_zelt"])
    assert ((credit > 0) & (credit < 1)).all(), "a tie gives a share, not all or nothing"
    assert summary.set_index("Ranking").loc["halvane_zelt", "Top1"] == pytest.approx(credit.mean())
    assert top == {"CO2"}   # ties: the lowest family number is named


# ------------------------------------------------------------------ families

def test_families_mapping_overrides_and_unknown_labels():
    rng = np.random.default_rng(3)
    projects = random_table(rng, 20, missing=0.0)
    projects["method"] = ["Vert. Misc. CO2", "Immisc. HC", "In-situ combustion", "Gel treatment"] * 5
    with pytest.warns(UserWarning, match=r"no family for the project method labels 'Gel treatment'"):
        ranking, _ = zelt.rank_by_analogs(projects.iloc[:3, :-1], projects, k=3)
    fam = dict(zip(ranking["Method"], ranking["Family"]))
    assert fam == {"Vert. Misc. CO2": "CO2", "Immisc. HC": "hydrocarbon gas",
                   "In-situ combustion": "thermal", "Gel treatment": None}
    ranking, _ = zelt.rank_by_analogs(projects.iloc[:3, :-1], projects, k=3,
                                      families={"gel treatment": "chemical", "Immisc. HC": "other"})
    fam = dict(zip(ranking["Method"], ranking["Family"]))
    assert fam["Gel treatment"] == "chemical" and fam["Immisc. HC"] == "other"
    with pytest.raises(ValueError, match="'foam' .*is not one of"):
        zelt.rank_by_analogs(projects.iloc[:3, :-1], projects, families={"Gel treatment": "foam"})


# ----------------------------------------------------------------- bad input

def test_bad_input_names_table_and_column():
    rng = np.random.default_rng(4)
    projects = random_table(rng, 10, missing=0.0)
    res = projects.drop(columns="method")
    with pytest.raises(KeyError, match="projects table lacks the column 'method'"):
        zelt.rank_by_analogs(res, res)
    with pytest.raises(KeyError, match="lacks the column 'applied'"):
        zelt.evaluate_analogs(projects, method="applied")
    bad = projects.astype({"porosity_avg_pct": object})
    bad.loc[3, "porosity_avg_pct"] = "high"
    with pytest.raises(ValueError, match=r"projects table's column 'porosity_avg_pct' holds 'high' at row 3"):
        zelt.rank_by_analogs(res, bad)
    bad_res = res.astype({"top_depth_feet": object})
    bad_res.loc[0, "top_depth_feet"] = "deep"
    with pytest.raises(ValueError, match=r"reservoirs table's column 'top_depth_feet' holds 'deep' at row 0"):
        zelt.rank_by_analogs(bad_res, projects)
    # a permeability of 0 has no logarithm: left out of the distance, and said so
    neg = projects.copy()
    neg.loc[2, "permeab_avg_md"] = 0.0
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        _, near = zelt.rank_by_analogs(neg.iloc[[2]].drop(columns="method"), neg, k=1)
    said = sorted(str(w.message) for w in seen)     # once for each table
    assert len(said) == 2 and all(w.category is UserWarning for w in seen)
    for text, table in zip(said, ["projects", "reservoirs"]):
        assert re.search(table + r" table holds values that are not positive .* 'permeab_avg_md' 0.0 at row 2$", text)
    assert near["Project"].tolist() == [2]
    assert near["Distance"].iloc[0] == 0.0   # over the other six parameters
    empty = projects.copy()
    empty["method"] = None
    with pytest.raises(ValueError, match="projects table has no usable rows"):
        zelt.rank_by_analogs(res, empty)
    with pytest.raises(TypeError, match="projects table must be a DataFrame"):
        zelt.rank_by_analogs(res, projects.to_dict())
    with pytest.raises(ValueError, match="k must be between"):
        zelt.rank_by_analogs(res, projects, k=0)
    with pytest.raises(ValueError, match="k must be between"):
        zelt.rank_by_analogs(res, projects, k=2 ** 70)
    with pytest.raises(TypeError, match="k must be an integer, not str"):
        zelt.rank_by_analogs(res, projects, k="7")
    with pytest.raises(TypeError, match="min_shared must be an integer, not bool"):
        zelt.evaluate_analogs(projects, min_shared=True)
    with pytest.raises(TypeError, match="k must be an integer, not (bool_|bool)"):
        zelt.rank_by_analogs(res, projects, k=np.bool_(True))
    with pytest.raises(TypeError, match="k must be an integer, not float64"):
        zelt.rank_by_analogs(res, projects, k=np.float64(7.0))
    # numpy's integers are integers (a k taken from an array, a loop over np.arange)
    pd.testing.assert_frame_equal(zelt.rank_by_analogs(res, projects, k=np.int64(3))[0],
                                  zelt.rank_by_analogs(res, projects, k=3)[0])
    with pytest.raises(ValueError, match="k must be between 1 and 1000, not 0$"):
        zelt.rank_by_analogs(res, projects, k=np.uint8(0))
    twice = projects.assign(METHOD=projects["method"])
    with pytest.raises(ValueError, match="'METHOD' and 'method' are one name in lower case"):
        zelt.rank_by_analogs(res, twice)
    with pytest.raises(KeyError, match="group column 'field'"):
        zelt.evaluate_analogs(projects, group="field")
    # pd.NA and None are missing values, not text
    na = projects.astype({"porosity_avg_pct": object})
    na.loc[1, "porosity_avg_pct"] = pd.NA
    na.loc[2, "porosity_avg_pct"] = None
    ranking, _ = zelt.rank_by_analogs(res, na)
    assert not ranking.empty


def test_bundled_projects_evaluate():
    import os
    path = os.path.join(os.path.dirname(__file__), "..", "..", "data", "field_projects.csv")
    projects = pd.read_csv(path)
    # Cantarell reports only its depth: left out, and said so
    with pytest.warns(UserWarning, match="1 of 17 project rows left out"):
        summary, detail = zelt.evaluate_analogs(projects, group="field", verbose=False)
    assert summary["Projects"].iloc[0] == 16
    assert "Cantarell" not in set(projects.loc[detail["Project"], "field"])


def test_example_prints_ranking_and_leave_one_out(tmp_path):
    import os
    import subprocess
    import sys
    root = os.path.join(os.path.dirname(__file__), "..", "..")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.abspath(zelt.__file__)) + os.pathsep + env.get("PYTHONPATH", "")
    script = os.path.join(root, "examples", "rank_by_analogs.py")
    proc = subprocess.run([sys.executable, "-W", "error", script], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "P-heavy: Shallow heavy oil" in proc.stdout and "analog 1: Kern River" in proc.stdout
    projects = pd.read_csv(os.path.join(root, "data", "field_projects.csv"))
    summary, _ = quiet(zelt.evaluate_analogs, projects, group="field", verbose=False)
    combined = summary.set_index("Ranking").loc["combined"]
    assert f"combined {combined['Top1']:.3f} {combined['Top3']:.3f}" in proc.stdout
    bad = tmp_path / "bad.csv"
    bad.write_text("oil_density_max_val_deg_api,top_depth_feet\nheavy,1000\n")
    proc = subprocess.run([sys.executable, "-W", "error", script, str(bad)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and "'oil_density_max_val_deg_api' holds 'heavy'" in proc.stderr


def test_threads_give_the_same_tables():
    import concurrent.futures
    rng = np.random.default_rng(8)
    # few values missing: no warnings (catching them is not thread-safe)
    projects = random_table(rng, 3000, missing=0.05)
    reservoirs = random_table(rng, 500, missing=0.05, labels=False)
    first = zelt.rank_by_analogs(reservoirs, projects)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda _: zelt.rank_by_analogs(reservoirs, projects), range(4)))
    for ranking, analogs in runs:
        pd.testing.assert_frame_equal(ranking, first[0])
        pd.testing.assert_frame_equal(analogs, first[1])


def test_tuple_labels_and_multi_index_stay_whole():
    rng = np.random.default_rng(12)
    projects = random_table(rng, 12, missing=0.0)
    projects.index = pd.MultiIndex.from_tuples([("F", i) for i in range(12)])
    reservoirs = random_table(rng, 2, missing=0.0, labels=False)
    reservoirs["resv_id"] = [("A", 1), ("B", 2)]
    ranking, analogs = zelt.rank_by_analogs(reservoirs, projects, k=2)
    assert list(dict.fromkeys(ranking["Reservoir_ID"])) == [("A", 1), ("B", 2)]
    assert all(isinstance(p, tuple) and p[0] == "F" for p in analogs["Project"])
    _, detail = zelt.evaluate_analogs(projects, k=2, verbose=False)
    assert detail["Project"].tolist() == list(projects.index)


def test_signatures_and_defaults():
    import inspect
    rank = inspect.signature(zelt.rank_by_analogs).parameters
    assert [(p.name, p.default) for p in rank.values()] == [
        ("reservoirs", inspect.Parameter.empty), ("projects", inspect.Parameter.empty), ("k", 7),
        ("method", "method"), ("outcome", "outcome"), ("families", None), ("min_shared", 3)]
    ev = inspect.signature(zelt.evaluate_analogs).parameters
    assert [(p.name, p.default) for p in ev.values()] == [
        ("projects", inspect.Parameter.empty), ("k", 7), ("method", "method"), ("group", None),
        ("families", None), ("min_shared", 3), ("verbose", True)]
    with pytest.raises(TypeError):
        zelt.rank_by_analogs(pd.DataFrame())   # projects missing

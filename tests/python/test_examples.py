"""Smoke tests of the example scripts on the bundled data: they run in a fresh
interpreter, print their report and write their files, and what they write
matches what the modules return."""
import os
import re
import struct
import subprocess
import sys

import pandas as pd
import pandas.testing as pdt
import pytest

import zelt
from conftest import load_script

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples")
SAMPLE = os.path.join(ROOT, "data", "sample_reservoirs.csv")
MODULE_DIR = os.path.dirname(os.path.abspath(zelt.__file__))


def run_example(script, args, cwd):
    """Runs an example with this interpreter, the module under test on its
    path and warnings turned into errors, as in the test suite itself."""
    env = dict(os.environ)
    env["PYTHONPATH"] = MODULE_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env["MPLBACKEND"] = "Agg"
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, script)] + args,
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


# ------------------------------------------------------ screening example

SHEETS = [
    ("halvane_zelt scores", 0, 0), ("halvane_zelt limits", 0, 1),
    ("halvane_zelt field data", 0, 2), ("halvane_zelt pressure window", 0, 3),
    ("uom_zelt scores", 1, 0), ("uom_zelt limits", 1, 1),
    ("uom_zelt p-values", 1, 2), ("uom_zelt field data", 1, 3),
]


@pytest.fixture(scope="module")
def module_tables():
    reservoirs = pd.read_csv(SAMPLE)
    return zelt.halvane_zelt(reservoirs.copy()), zelt.uom_zelt(reservoirs.copy())


@pytest.fixture(scope="module")
def screening_run(tmp_path_factory):
    """The screening example on the bundled sample, written to the default
    out/ of its working directory."""
    cwd = tmp_path_factory.mktemp("screening")
    stdout = run_example("screen_reservoirs.py", [], cwd)
    return stdout, cwd / "out"


def test_screening_workbook_holds_the_returned_tables(screening_run, module_tables):
    _, out = screening_run
    import openpyxl
    book = openpyxl.load_workbook(out / "screening.xlsx", read_only=True)
    assert book.sheetnames == [name for name, _, _ in SHEETS]
    book.close()
    sheets = pd.read_excel(out / "screening.xlsx", sheet_name=None)
    for name, family, k in SHEETS:
        table = module_tables[family][k].reset_index(drop=True)
        sheet = sheets[name]
        if name == "uom_zelt p-values":
            # the worksheet adds the reservoir of each row (12 rows per reservoir)
            ids = module_tables[1][3]["Reservoir_ID"].repeat(12).reset_index(drop=True)
            pdt.assert_series_equal(sheet.pop("Reservoir_ID"), ids, check_names=False)
        assert len(sheet) == len(table), name
        assert list(sheet.columns) == list(table.columns), name
        if name.endswith("scores"):
            pdt.assert_frame_equal(sheet, table, check_dtype=False)


def test_screening_workbook_header_rows_are_frozen(screening_run):
    import openpyxl
    book = openpyxl.load_workbook(screening_run[1] / "screening.xlsx")
    for sheet in book.worksheets:
        assert sheet.freeze_panes == "A2", sheet.title
        header = [c.value for c in sheet[1]]
        widths = [sheet.column_dimensions[c.column_letter].width for c in sheet[1]]
        assert all(w >= len(str(h)) for w, h in zip(widths, header)), sheet.title


def test_screening_heat_map_is_written(screening_run):
    width, height = png_size(screening_run[1] / "screening_scores.png")
    assert 1000 <= width <= 4000 and 600 <= height <= 3000


def best_printed(stdout):
    """Reservoir_ID -> [[scores of the first family], [of the second]] as printed."""
    printed = {}
    family = None
    for line in stdout.splitlines():
        head = re.match(r"^(\S+)  \S", line)
        if head and not line.startswith(" "):
            current = printed.setdefault(head.group(1), [])
        elif re.match(r"^  \S.*:$", line):
            family = []
            current.append(family)
        elif re.match(r"^    [+-]\d\.\d  ", line):
            family.append(float(line.split()[0]))
    return printed


def test_screening_report_lists_the_best_three_of_each_family(screening_run, module_tables):
    printed = best_printed(screening_run[0])
    ids = list(pd.read_csv(SAMPLE)["resv_id"])
    assert list(printed) == ids
    for family in (0, 1):
        scores = module_tables[family][0]
        for resv_id in ids:
            best = sorted(scores.loc[scores.Reservoir_ID == resv_id, "Score"], reverse=True)[:3]
            assert printed[resv_id][family] == best, (resv_id, family)


def test_screening_excel_input_gives_the_same_outputs(screening_run, tmp_path):
    """An Excel copy of the sample gives the same report and byte-identical
    files: the input formats agree and the outputs are reproducible."""
    stdout, out = screening_run
    pd.read_csv(SAMPLE).to_excel(tmp_path / "reservoirs.xlsx", index=False)
    again = run_example("screen_reservoirs.py", ["reservoirs.xlsx", "--out", "copy"], tmp_path)
    assert again.splitlines()[:-1] == stdout.splitlines()[:-1]
    for name in ("screening.xlsx", "screening_scores.png"):
        assert (tmp_path / "copy" / name).read_bytes() == (out / name).read_bytes(), name


def load_example(name):
    return load_script(name, os.path.join(EXAMPLES, name + ".py"))


def test_screening_explanations_account_for_every_score():
    """The parameters the report names rebuild every score of both methods:
    the first method's points (or a violated stopper), the 2019 method's
    weighted p-values. A parameter left out or named wrongly breaks a sum."""
    import numpy as np
    example = load_example("screen_reservoirs")
    first, second, why = example.screen(example.read_reservoirs(SAMPLE))

    shortfalls = why[example.FIRST]["shortfalls"]
    knocked = 0
    for resv_id, method, score in first[0][["Reservoir_ID", "ZeltMethod", "Score"]].values:
        found = shortfalls[(resv_id, method)]
        if any(f["stopper"] for f in found):
            knocked += 1
            assert score == -1.0, (resv_id, method)
        else:
            total = 110.0 + sum(f["points"] - 10.0 for f in found)
            assert score == np.round((1 / 110) * (total - 110.0) + 1.0, 1), (resv_id, method)
    assert knocked > 0

    weights = example.read_reference("screening_table_2019.csv")["Weighting"]
    shortfalls = why[example.SECOND]["shortfalls"]
    for resv_id, method, score in second[0][["Reservoir_ID", "ZeltMethod", "Score"]].values:
        found = shortfalls[(resv_id, method)]
        assert all(f["p"] < 1.0 for f in found)
        total = weights.xs(method, level="ZeltMethod").sum()
        lost = sum(f["weight"] * (1.0 - f["p"]) for f in found)
        assert score == np.round((total - lost) / total, 1), (resv_id, method)


# ------------------------------------------------------ forecasting example
# The example reads the play beside the module, which `make build` generates.

import warnings  # noqa: E402

import numpy as np  # noqa: E402
import quon  # noqa: E402
from scipy.optimize import OptimizeWarning  # noqa: E402

QUON_DIR = os.path.dirname(os.path.abspath(quon.__file__))
MODULE_PLAY = os.path.join(QUON_DIR, "DataFiles", quon.playDesignationDir)
needs_module_play = pytest.mark.skipif(
    not os.path.isdir(MODULE_PLAY),
    reason=f"no demo play beside the module ({MODULE_PLAY}); `make build` generates it")
# Not the driver's default: each argument differs from the others, so one
# handed to the wrong place of Predict changes the forecast.
DESIGN = {"lat": 41.52, "lon": -77.1, "stages": 24, "lateral": 6400, "spacing": 260, "fluid": 1800}


@pytest.fixture(scope="module")
def driver():
    d = quon.CMainDravex()
    d.Process()
    return d


def module_forecast(d, design):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizeWarning)
        return d.Predict(design["lat"], design["lon"], design["stages"], design["lateral"],
                         design["spacing"], design["fluid"], 0.0)


def printed_forecast(stdout):
    """The ISIP and the {"P90", "model", "P10"} 60-month cumulatives as printed."""
    isip = re.search(r"ISIP \(estimated\)\s+([\d,]+) psia", stdout).group(1)
    block = stdout.split("60-month cumulative gas (MMcf):\n")[1]
    values = dict(re.findall(r"^  (P90|model|P10)\s+([\d,.]+)$", block, re.M))
    return isip, values


@pytest.fixture(scope="module")
def forecast_runs(tmp_path_factory):
    """The example with the driver's defaults (into out/) and with DESIGN."""
    if not os.path.isdir(MODULE_PLAY):
        pytest.skip(f"no demo play beside the module ({MODULE_PLAY}); `make build` generates it")
    cwd = tmp_path_factory.mktemp("forecast")
    default = run_example("forecast_well.py", [], cwd)
    args = [a for key, value in DESIGN.items() for a in (f"--{key}", str(value))]
    design = run_example("forecast_well.py", args + ["--out", "design"], cwd)
    return {"default": (default, cwd / "out"), "design": (design, cwd / "design")}


@needs_module_play
def test_forecast_report_matches_the_module(forecast_runs, driver):
    defaults = {"lat": 0.5 * (driver.m_minLat + driver.m_maxLat),
                "lon": 0.5 * (driver.m_minLong + driver.m_maxLong),
                "stages": 6, "lateral": 3000, "spacing": 500, "fluid": 500}
    printed = {}
    for name, design in (("default", defaults), ("design", DESIGN)):
        stdout, _ = forecast_runs[name]
        _, cums = module_forecast(driver, design)
        month60 = cums[cums["Month"] == 60].iloc[0]
        isip = driver.m_geoModelDict[quon.strISIP].predict([[design["lat"], design["lon"]]])[0]
        printed[name] = printed_forecast(stdout)
        assert printed[name] == (f"{isip:,.0f}", {label: f"{month60[col]:,.1f}" for label, col in
                                                  (("P90", "P90"), ("model", "Q"), ("P10", "P10"))}), name
        assert float(month60["P90"]) < float(month60["Q"]) < float(month60["P10"])
        assert f"{design['lateral']:,.0f} ft" in stdout and f"{design['fluid']:,.0f} gal/ft" in stdout
    assert printed["default"] != printed["design"]


@needs_module_play
def test_forecast_picture_is_written(forecast_runs):
    for name in ("default", "design"):
        width, height = png_size(forecast_runs[name][1] / "forecast.png")
        assert 1000 <= width <= 2500 and 450 <= height <= 1500, name


@needs_module_play
def test_forecast_curves_drawn_are_the_tables_curves(driver):
    """The picture draws the fitted declines between the forecast months; at
    the forecast months they must give the tables' values."""
    example = load_example("forecast_well")
    rates, cums = module_forecast(driver, DESIGN)
    drawn = example.curves(driver, example.fitted_declines(driver), rates["Month"].to_numpy(dtype=float))
    for label, rate_col, cum_col in (("P90", "P90", "P90"), ("model", "q", "Q"), ("P10", "P10", "P10")):
        np.testing.assert_allclose(drawn[label][0], rates[rate_col], rtol=1e-9, err_msg=label)
        np.testing.assert_allclose(drawn[label][1], cums[cum_col], rtol=1e-9, atol=1e-9, err_msg=label)


def test_forecast_without_a_play_says_how_to_get_one(tmp_path):
    """A module with no play beside it: a non-zero exit naming `make build`."""
    module_dir = tmp_path / "module"
    module_dir.mkdir()
    os.symlink(os.path.abspath(quon.__file__), module_dir / os.path.basename(quon.__file__))
    env = dict(os.environ, PYTHONPATH=str(module_dir), MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "forecast_well.py")],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0
    assert "make build" in proc.stderr and proc.stdout == ""
    assert not (tmp_path / "out").exists()


# ------------------------------------------------------ design sweep example

SWEEP_LATERAL = 5000


@pytest.fixture(scope="module")
def sweep_run(tmp_path_factory):
    """The sweep at the default location for a 5,000 ft lateral."""
    if not os.path.isdir(MODULE_PLAY):
        pytest.skip(f"no demo play beside the module ({MODULE_PLAY}); `make build` generates it")
    cwd = tmp_path_factory.mktemp("sweep")
    stdout = run_example("design_sweep.py", ["--lateral", str(SWEEP_LATERAL), "--top", "4"], cwd)
    return stdout, cwd / "out"


@needs_module_play
def test_sweep_lists_the_designs_with_most_gas_per_foot(sweep_run, driver, monkeypatch):
    stdout, _ = sweep_run
    monkeypatch.syspath_prepend(EXAMPLES)  # the sweep takes its driver helpers from forecast_well
    example = load_example("design_sweep")
    lat = 0.5 * (driver.m_minLat + driver.m_maxLat)
    lon = 0.5 * (driver.m_minLong + driver.m_maxLong)
    designs, spacings, fluids = example.sweep_designs(driver, lat, lon, SWEEP_LATERAL)
    stages = designs[quon.strFracStages]
    # Consistent designs over the play's ranges.
    assert len(designs) == len(spacings) * len(fluids)
    assert (stages * designs[quon.strFracSpacing] <= SWEEP_LATERAL).all()
    assert stages.between(4, 40).all() and fluids[0] == 100 and fluids[-1] == 3000
    _, cums = driver.PredictBatch(designs)
    month60 = cums[cums["Month"] == 60].set_index("Design")
    order = month60["Q"].sort_values(ascending=False, kind="stable").index[:4]
    block = stdout.split("P10 high case):\n")[1]
    printed = re.findall(r"^\s+(\d)\s+(\d+)\s+([\d,]+)\s+([\d,]+)\s+([\d,.]+)\s+([\d,.]+)\s+([\d,.]+)\s+([\d,]+)$",
                         block, re.M)
    want = []
    for rank, k in enumerate(order, start=1):
        d, f = designs.loc[k], month60.loc[k]
        want.append((str(rank), f"{d[quon.strFracStages]:.0f}", f"{d[quon.strFracSpacing]:,.0f}",
                     f"{d[quon.strFluidVolumePerLen]:,.0f}", f"{f['Q'] * 1000 / SWEEP_LATERAL:,.1f}",
                     f"{f['P90'] * 1000 / SWEEP_LATERAL:,.1f}", f"{f['P10'] * 1000 / SWEEP_LATERAL:,.1f}",
                     f"{f['Q']:,.0f}"))
    assert printed == want
    assert f"{SWEEP_LATERAL:,} ft" in stdout and f"{len(designs):,} in one PredictBatch call" in stdout


@needs_module_play
def test_sweep_picture_is_written(sweep_run):
    width, height = png_size(sweep_run[1] / "design_sweep.png")
    assert 1200 <= width <= 2500 and 500 <= height <= 1500

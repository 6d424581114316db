"""Smoke tests of the forecasting and design-sweep example scripts: they read
the play beside the module (which `make build` generates), print their
report and draw their pictures, and what they show is what the driver
returns."""
import os
import re
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

import quon
from example_scripts import EXAMPLES, MODULE_DIR, load_example, png_size, run_example
from scipy.optimize import OptimizeWarning

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


@pytest.mark.parametrize("installed", [True, False], ids=["installed", "source-build"])
def test_forecast_without_a_play_says_how_to_get_one(tmp_path, installed):
    """A module with no play beside it: a non-zero exit that says how to name
    a play; `make build` only for a module of a source checkout's build."""
    if not installed and not os.path.isfile(os.path.join(QUON_DIR, "CMakeCache.txt")):
        pytest.skip("the module under test is installed, not a source checkout's build")
    module_dir = tmp_path / "module"
    module_dir.mkdir()
    module = module_dir / os.path.basename(quon.__file__)
    if installed:
        shutil.copyfile(quon.__file__, module)
    else:
        os.symlink(os.path.abspath(quon.__file__), module)
    env = dict(os.environ, PYTHONPATH=str(module_dir), MPLBACKEND="Agg")
    for args, where in (([], "beside the module"), (["--play", "nowhere"], "named by --play")):
        proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "forecast_well.py")] + args,
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
        assert proc.returncode == 1 and proc.stdout == ""
        assert f"({where})" in proc.stderr and "Name your play's folder with --play DIR" in proc.stderr
        assert ("make build" in proc.stderr) == (not installed and not args)
    assert not (tmp_path / "out").exists()


@needs_module_play
def test_forecast_names_the_play_folder_it_is_given(tmp_path):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "forecast_well.py"),
                           "--play", MODULE_PLAY], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    broken = tmp_path / "broken"
    shutil.copytree(MODULE_PLAY, broken)
    (broken / "Model" / "20" / "modelPredictTest.csv").write_text("model,real\n")
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "forecast_well.py"),
                           "--play", str(broken)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.startswith(f"The play at {broken} could not be loaded: the play file ")
    assert "modelPredictTest.csv\" has changed" in proc.stderr  # the manifest refuses it first


@needs_module_play
def test_forecast_marks_extrapolation_and_falling_outputs(tmp_path, driver, monkeypatch):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "forecast_well.py"),
                           "--stages", "30", "--lateral", "9000", "--spacing", "300", "--fluid", "2000"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0
    top = driver.m_designEnvelope["monthly models"][quon.strWellLen][1]
    assert proc.stderr == (f"note: the forecast extrapolates: well_len 9000 lies outside the monthly models' "
                           f"training range {driver.m_designEnvelope['monthly models'][quon.strWellLen][0]:.6g} "
                           f"to {top:.6g}\n")
    # Falling raw outputs: a month's model halved.
    example = load_example("forecast_well")
    d = quon.CMainDravex()
    d.Process()
    model = d.m_modelDict[30]

    class Halved:
        def get_booster(self):
            return model.get_booster()

        def predict(self, data):
            return model.predict(data) * np.float32(0.5)
    d.m_modelDict[30] = Halved()
    rates, cums, cautions = example.forecast(d, DESIGN)
    assert cautions["extrapolated"] is None
    assert cautions["falling"].startswith("the monthly models' raw cumulative")
    months, _ = example.falling_months(cums)
    assert months.tolist() == [30.0]
    picture = tmp_path / "falling.png"
    example.plot_forecast(str(picture), d, DESIGN, 4000.0, cums, example.fitted_declines(d), True, cautions)
    assert png_size(picture)[0] >= 1000


@needs_module_play
@pytest.mark.parametrize("args, says", [
    (["--lat", "nan"], "--lat nan: a location and a design must be finite numbers"),
    (["--fluid", "inf"], "--fluid inf: a location and a design must be finite numbers"),
    (["--stages", "0"], "frac_stages must be positive, got 0: not a well that can be built"),
    (["--stages", "40", "--lateral", "6000", "--spacing", "300"],
     "frac_stages x frac_spacing (40 x 300 = 12000) is longer than well_len 6000 by more than 10 %: "
     "not a well that can be built"),
])
def test_forecast_refuses_a_bad_design_in_one_line(tmp_path, args, says):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "forecast_well.py")] + args,
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stderr == f"error: {says}\n" and proc.stdout == ""
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
    assert stages.between(4, 40).all() and fluids[0] == 200 and fluids[-1] == 2900  # inside the envelope
    assert spacings[0] == 125 and spacings[-1] == 1000
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

"""Smoke tests of the screening and analog example scripts on the bundled
data: they run in a fresh interpreter, print their report and write their
files, and what they write matches what the modules return."""
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import zelt
from example_scripts import EXAMPLES, MODULE_DIR, SAMPLE, example_env, load_example, png_size, run_example
from reference_pipeline import edit_csv

# ------------------------------------------------------ screening example

FILLED = {"default", "correlation", "fixed", "missing"}
SCREENING_SHEETS = ["Run", "Summary", "First method scores", "First method coverage", "First method explanation",
                    "First method field data", "First method limits", "2019 method scores", "2019 method coverage",
                    "2019 method explanation", "2019 method field data", "2019 method limits",
                    "First method pressure window", "2019 method p-values"]
FAMILY_OF = {"Steam Flooding": "thermal", "CSS": "thermal", "SAGD": "thermal", "Hot Water": "thermal",
             "Combustion": "thermal", "Polymer Flooding": "chemical", "ASP": "chemical",
             "Surfactant": "chemical", "Microbial": "other"}


@pytest.fixture(scope="module")
def module_tables():
    reservoirs = pd.read_csv(SAMPLE)
    return (zelt.halvane_zelt(reservoirs.copy()), zelt.uom_zelt(reservoirs.copy()),
            zelt.explain_halvane_zelt(reservoirs), zelt.explain_uom_zelt(reservoirs))


@pytest.fixture(scope="module")
def screening_run(tmp_path_factory):
    """The screening example on the bundled sample, written to the default
    out/ of its working directory."""
    cwd = tmp_path_factory.mktemp("screening")
    stdout = run_example("screen_reservoirs.py", [], cwd)
    return stdout, cwd / "out"


def sheet(out, name):
    """A worksheet as a table: the note on line 1, the header on line 3."""
    return pd.read_excel(out / "screening.xlsx", sheet_name=name, header=2)


def test_screening_workbook_layout(screening_run):
    import openpyxl
    book = openpyxl.load_workbook(screening_run[1] / "screening.xlsx")
    assert book.sheetnames == SCREENING_SHEETS
    for ws in book.worksheets:
        assert ws.freeze_panes == "A4", ws.title
        assert len(ws["A1"].value) > 40, ws.title          # the note that says how to read it
        header = [c.value for c in ws[3]]
        numeric = [h for h, c in zip(header, ws[4]) if isinstance(c.value, (int, float))
                   and not isinstance(c.value, bool)]
        # Units (or the scale of a score) in every numeric header.
        assert all("(" in h for h in numeric), (ws.title, numeric)
    assert "width" in book["First method limits"]["A1"].value
    assert "width" in book["First method pressure window"]["A1"].value


def test_screening_workbook_holds_the_modules_numbers(screening_run, module_tables):
    out = screening_run[1]
    ids = list(pd.read_csv(SAMPLE)["resv_id"])
    for k, name in ((0, "First method scores"), (1, "2019 method scores")):
        got = sheet(out, name)
        assert list(got["Reservoir_ID"]) == ids                      # input order
        scores = module_tables[k][0].pivot(index="Reservoir_ID", columns="ZeltMethod", values="Score")
        for method in scores.columns:
            np.testing.assert_array_equal(got[f"{method} (-1 to 1)"], scores.loc[ids, method], err_msg=method)
    for k, name in ((2, "First method explanation"), (3, "2019 method explanation")):
        got, explanation = sheet(out, name), module_tables[k]
        assert list(got["Method"]) == list(explanation["ZeltMethod"])
        # The workbook keeps 16 significant digits.
        np.testing.assert_allclose(got["Value (in Unit)"], explanation["Value"], rtol=1e-15)
        assert list(got["Source"]) == list(explanation["Source"])
    field = sheet(out, "First method field data")
    reported = pd.read_csv(SAMPLE)["temp_max_val_deg_c"]
    given = reported.notna().to_numpy()
    np.testing.assert_allclose(field["Reservoir Temperature (°C)"][given], reported[given], rtol=1e-12)
    limits = sheet(out, "First method limits")
    file_limits = pd.read_csv(zelt.get_filepath("screening_table.csv"), na_values=["MMP"])
    maxima = limits[limits["Category"] == "Max"]["Limit (unit of the parameter)"].to_numpy()
    np.testing.assert_allclose(maxima, file_limits["Max"], equal_nan=True)


def test_screening_workbook_marks_what_the_module_filled_in(screening_run, module_tables):
    import openpyxl
    book = openpyxl.load_workbook(screening_run[1] / "screening.xlsx", read_only=True)
    for k, name in ((2, "First method explanation"), (3, "2019 method explanation")):
        rows = list(book[name].iter_rows(min_row=4, min_col=6, max_col=7))
        marked = [cell.fill.fgColor.rgb not in (None, "00000000") for cell, _ in rows]
        assert marked == list(module_tables[k]["Source"].isin(FILLED)), name
    scores = list(book["First method scores"].iter_rows(min_row=4, min_col=3))
    knocked = {(r[0], r[1]) for r in module_tables[2][module_tables[2].Stopper & (module_tables[2].Points < 10)]
               [["Reservoir_ID", "ZeltMethod"]].values}
    methods = list(dict.fromkeys(module_tables[2]["ZeltMethod"]))
    ids = list(pd.read_csv(SAMPLE)["resv_id"])
    grey = {(ids[i], methods[j]) for i, row in enumerate(scores) for j, cell in enumerate(row)
            if cell.fill.fgColor.rgb not in (None, "00000000")}
    assert grey == knocked and knocked
    book.close()


def printed_blocks(stdout):
    """Reservoir_ID -> its block of lines in the report."""
    blocks, current = {}, None
    for line in stdout.splitlines():
        head = re.match(r"^(\S+)  \S", line)
        if head and not line.startswith(" "):
            current = blocks.setdefault(head.group(1), [])
        elif current is not None:
            current.append(line)
    return blocks


def family_best(scores, resv_id, family):
    group = scores[(scores.Reservoir_ID == resv_id) & scores.ZeltMethod.map(
        lambda m: FAMILY_OF.get(m, "gas injection") == family)]
    top = group["Score"].max()
    return top, list(group.loc[group.Score == top, "ZeltMethod"])


def test_screening_report_best_three_and_best_of_each_family(screening_run, module_tables):
    blocks = printed_blocks(screening_run[0])
    ids = list(pd.read_csv(SAMPLE)["resv_id"])
    assert list(blocks) == ids
    for resv_id in ids:
        text = "\n".join(blocks[resv_id])
        sections = re.split(r"^  (?:first|2019) method \(\w+\), best 3:$", text, flags=re.M)
        assert len(sections) == 3, resv_id
        for k, section in enumerate(sections[1:]):
            printed = [float(v) for v in re.findall(r"^    ([+-]\d\.\d)  ", section, flags=re.M)]
            scores = module_tables[k][0]
            best = sorted(scores.loc[scores.Reservoir_ID == resv_id, "Score"], reverse=True)[:3]
            assert printed == best, (resv_id, k)
        families = re.findall(r"by family, (first|2019) method: +(.*?)(?=\n    by family|\n  first|\Z)",
                              text, flags=re.S)
        assert [f[0] for f in families] == ["first", "2019"]
        for k, (_, line) in enumerate(families):
            printed = {}
            for item in " ".join(line.split()).split(" | "):
                family, score, methods = re.match(r"(\D+) ([+-]\d\.\d) (.*)", item).groups()
                printed[family] = (float(score), sorted(methods.split(", ")))
            assert list(printed) == ["thermal", "gas injection", "chemical", "other"][:3 + k]
            for family in printed:
                top, methods = family_best(module_tables[k][0], resv_id, family)
                assert printed[family] == (top, sorted(methods)), (resv_id, family)


def test_screening_report_names_the_values_filled_in(screening_run, module_tables):
    blocks = printed_blocks(screening_run[0])
    explanation = module_tables[2]
    own = explanation[explanation.ZeltMethod == "ASP"]
    for resv_id, block in blocks.items():
        filled = " ".join(" ".join(block).split("filled:")[1].split("by family")[0].split())
        rows = own[(own.Reservoir_ID == resv_id) & own.Source.isin(["default", "correlation", "missing"])
                   & ~own.ScreeningParam.isin(["Reservoir Dip"])]
        assert [p for p in rows.ScreeningParam if p in filled] == list(rows.ScreeningParam), resv_id
        assert ("nothing" in filled) == rows.empty


def test_screening_excel_input_gives_the_same_outputs(screening_run, tmp_path):
    """An Excel copy of the sample gives the same report, picture and sheets
    (but for the record of the run): the input formats agree and the outputs
    are reproducible."""
    stdout, out = screening_run
    pd.read_csv(SAMPLE).to_excel(tmp_path / "reservoirs.xlsx", index=False)
    again = run_example("screen_reservoirs.py", ["reservoirs.xlsx", "--out", "copy"], tmp_path)
    assert again.splitlines()[:-1] == stdout.splitlines()[:-1]
    assert (tmp_path / "copy" / "screening_scores.png").read_bytes() == (out / "screening_scores.png").read_bytes()
    for name in SCREENING_SHEETS[1:]:
        pdt.assert_frame_equal(pd.read_excel(tmp_path / "copy" / "screening.xlsx", sheet_name=name),
                               pd.read_excel(out / "screening.xlsx", sheet_name=name), obj=name)
    run = pd.read_excel(tmp_path / "copy" / "screening.xlsx", sheet_name="Run", header=2).set_index("Item")
    assert run.loc["Input file", "Recorded"] == str(tmp_path / "reservoirs.xlsx")


def test_screening_workbook_records_the_run_and_how_sure_each_score_is(screening_run):
    import datetime
    run = sheet(screening_run[1], "Run").set_index("Item")["Recorded"]
    assert run["Input file"] == os.path.abspath(SAMPLE)
    assert run["Limits folder"] == MODULE_DIR
    assert run["Module version"] == zelt.__version__
    when = datetime.datetime.strptime(run["Run date (UTC)"], "%Y-%m-%d %H:%M:%S")
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    assert abs((now - when).total_seconds()) < 3600
    reservoirs = pd.read_csv(SAMPLE)
    for name, summary in (("First method coverage", zelt.summary_halvane_zelt),
                          ("2019 method coverage", zelt.summary_uom_zelt)):
        got, expected = sheet(screening_run[1], name), summary(reservoirs)
        np.testing.assert_allclose(got["Coverage (0 to 1)"], expected["Coverage"], rtol=1e-15)
        assert list(got["Screened"]) == list(expected["Screened"])
        assert list(got["Estimated Knock-out"].fillna("")) == list(expected["Estimated Knock-out"])


def test_screening_report_shows_coverage_and_estimated_knock_outs(screening_run):
    stdout = screening_run[0]
    summary = zelt.summary_halvane_zelt(pd.read_csv(SAMPLE)).set_index(["Reservoir_ID", "ZeltMethod"])
    blocks = printed_blocks(stdout)
    seen = 0
    for resv_id, block in blocks.items():
        first = "\n".join(block).split("2019 method (uom_zelt)")[0]
        for score, method, rest in re.findall(r"^    ([+-]\d\.\d)  (.{18}) (.*)$", first, flags=re.M):
            row = summary.loc[(resv_id, method.strip())]
            assert f"coverage {row.Coverage:.2f}" in rest
            assert ("not screened" in rest) == (not row.Screened)
            if row["Estimated Knock-out"]:
                assert f"by estimates only ({row['Estimated Knock-out']})" in rest
            seen += 1
    assert seen >= 3 * len(blocks)


def test_screening_report_into_a_reader_that_stops_early(tmp_path):
    """`screen_reservoirs.py | head`: the report, far longer than a pipe
    holds, meets a closed pipe; the script still writes its files and ends
    well, with no traceback."""
    many = pd.concat([pd.read_csv(SAMPLE)] * 6, ignore_index=True)
    many["resv_id"] = [f"R{k:03d}" for k in range(len(many))]
    many.to_csv(tmp_path / "many.csv", index=False)
    with subprocess.Popen([sys.executable, "-W", "error", os.path.join(EXAMPLES, "screen_reservoirs.py"),
                           "many.csv"], cwd=tmp_path, env=example_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        first = proc.stdout.readline()
        proc.stdout.close()
        stderr = proc.stderr.read().decode()
        assert proc.wait(timeout=120) == 0, stderr
    assert first.startswith(b"102 reservoirs screened") and stderr == ""
    scores = sheet(tmp_path / "out", "First method scores")
    assert scores["Reservoir_ID"].nunique() == 102
    pages = sorted(p.name for p in (tmp_path / "out").glob("*.png"))
    assert pages == [f"screening_scores_{k}of3.png" for k in (1, 2, 3)]


def test_screening_heat_map_pages(screening_run, tmp_path):
    width, height = png_size(screening_run[1] / "screening_scores.png")
    assert 1500 <= width <= 2500 and 800 <= height <= 1500
    # 81 reservoirs: two full pages of 40 and one of a single reservoir.
    many = pd.concat([pd.read_csv(SAMPLE)] * 5, ignore_index=True).iloc[:81]
    many["resv_id"] = [f"R{k:02d}" for k in range(81)]
    many.to_csv(tmp_path / "many.csv", index=False)
    stdout = run_example("screen_reservoirs.py", ["many.csv"], tmp_path)
    pages = sorted(p.name for p in (tmp_path / "out").glob("*.png"))
    assert pages == [f"screening_scores_{k}of3.png" for k in (1, 2, 3)]
    assert all(f"out/{p}" in stdout for p in pages)
    full, last = png_size(tmp_path / "out" / pages[0]), png_size(tmp_path / "out" / pages[2])
    assert full[0] == last[0] and full[1] > 3 * last[1] // 2 and last[1] >= 480


@pytest.mark.parametrize("edit, message", [
    (lambda t: t.drop(columns=["top_depth_feet", "reservoir_unit_name"]),
     "halvane_zelt: the table lacks the required columns 'reservoir_unit_name', 'top_depth_feet'"),
    (lambda t: t.assign(resv_id=["VF01"] + list(t.resv_id[1:5]) + ["VF01"] + list(t.resv_id[6:])),
     "reservoirs.csv: resv_id 'VF01' appears more than once (lines 2, 7); identifiers must be unique"),
    (lambda t: t.assign(resv_id=[None if k == 3 else v for k, v in enumerate(t.resv_id)]),
     "reservoirs.csv: line 5 has no resv_id"),
    (lambda t: t.assign(pressure_psi=["high" if k == 4 else v for k, v in enumerate(t.pressure_psi)]),
     "halvane_zelt: column 'pressure_psi' holds 'high' at row 6, which is not a number"),
    (lambda t: t.iloc[:0], "reservoirs.csv holds no reservoirs"),
], ids=["missing-columns", "duplicate-id", "missing-id", "text-cell", "no-rows"])
def test_screening_bad_input_is_one_line(tmp_path, edit, message):
    edit(pd.read_csv(SAMPLE)).to_csv(tmp_path / "reservoirs.csv", index=False)
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, "screen_reservoirs.py"),
                           "reservoirs.csv"], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr == f"screen_reservoirs.py: error: {message}\n"
    assert not (tmp_path / "out").exists()


def own_limits(folder):
    """A copy of the reference files in which steam flooding allows at most
    100 ft of depth (a knock-out)."""
    folder.mkdir()
    for name in ("screening_table.csv", "screening_table_2019.csv"):
        shutil.copyfile(zelt.get_filepath(name), folder / name)
    edit_csv(folder / "screening_table.csv", {("Reservoir Depth", "Steam Flooding", "Max"): "100"})
    return folder


def test_screening_with_ones_own_limits(tmp_path):
    folder = own_limits(tmp_path / "limits")
    stdout = run_example("screen_reservoirs.py", ["--limits", "limits"], tmp_path)
    assert f"with the limits in {folder}" in stdout
    scores = sheet(tmp_path / "out", "First method scores").set_index("Reservoir_ID")
    assert scores.loc["VF25", "Steam Flooding (-1 to 1)"] == -1.0     # Kern River, 800 ft
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, os.path.join(EXAMPLES, "screen_reservoirs.py"), "--limits", "none"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1 and "--limits none" in proc.stderr
    assert "--limits none: no such folder" in proc.stderr


def test_pointing_the_module_at_another_folder(tmp_path):
    """The way README.md gives: zelt reads its reference files beside
    zelt.__file__, on every call."""
    folder = own_limits(tmp_path / "limits")
    sample = pd.read_csv(SAMPLE)
    before = zelt.halvane_zelt(sample.copy())[0]
    zelt.__file__ = os.path.join(str(folder), os.path.basename(zelt.__file__))
    after = zelt.halvane_zelt(sample.copy())[0]
    steam = lambda t: t[(t.Reservoir_ID == "VF25") & (t.ZeltMethod == "Steam Flooding")]["Score"].item()  # noqa
    assert (steam(before), steam(after)) == (1.0, -1.0)
    explained = zelt.explain_halvane_zelt(sample)
    row = explained[(explained.Reservoir_ID == "VF25") & (explained.ZeltMethod == "Steam Flooding")
                    & (explained.ScreeningParam == "Reservoir Depth")]
    assert row[["Max", "Points"]].values.tolist()[0][0] == 100.0


def test_screening_explanations_account_for_every_score():
    """The parameters the report names rebuild every score of both methods:
    the first method's points (or a violated stopper), the 2019 method's
    weighted p-values. A parameter left out or named wrongly breaks a sum."""
    example = load_example("screen_reservoirs")
    results, explained, summaries, methods = example.screen(example.read_reservoirs(SAMPLE))
    data = example.gather(results, explained, summaries, methods)
    knocked = 0
    for resv_id, method, score in results[example.FIRST][0][["Reservoir_ID", "ZeltMethod", "Score"]].values:
        found = data[example.FIRST]["shortfalls"].get((resv_id, method), [])
        if any(f["Stopper"] for f in found):
            knocked += 1
            assert score == -1.0, (resv_id, method)
        else:
            total = 110.0 + sum(f["Points"] - 10.0 for f in found)
            assert score == np.round((1 / 110) * (total - 110.0) + 1.0, 1), (resv_id, method)
    assert knocked > 0

    weights = pd.read_csv(zelt.get_filepath("screening_table_2019.csv"), index_col=[0, 1])["Weighting"]
    for resv_id, method, score in results[example.SECOND][0][["Reservoir_ID", "ZeltMethod", "Score"]].values:
        found = data[example.SECOND]["shortfalls"].get((resv_id, method), [])
        assert all(f["PValue"] < 1.0 for f in found)
        total = weights.xs(method, level="ZeltMethod").sum()
        lost = sum(f["Weighting"] * (1.0 - f["PValue"]) for f in found)
        assert score == np.round((total - lost) / total, 1), (resv_id, method)



def run_screening(args, cwd):
    """The screening example as a user runs it (warnings not turned into errors)."""
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, "screen_reservoirs.py")] + args, cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=120)


def test_screening_help_starts_with_a_whole_sentence(tmp_path):
    proc = run_screening(["--help"], tmp_path)
    assert proc.returncode == 0
    description = proc.stdout.split("\n\n")[1]
    assert description.strip().endswith(".") and "\n" not in description.strip()
    assert "--header-row N" in proc.stdout


def test_screening_a_title_row_above_the_header(tmp_path):
    sample = pd.read_csv(SAMPLE)
    with pd.ExcelWriter(tmp_path / "titled.xlsx") as writer:
        pd.DataFrame([["EOR candidates, 2026"], [None]]).to_excel(writer, index=False, header=False)
        sample.to_excel(writer, index=False, startrow=2)
    proc = run_screening(["titled.xlsx"], tmp_path)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr == ("screen_reservoirs.py: error: titled.xlsx: the table lacks the required columns "
                           "'resv_id', 'reservoir_unit_name', 'top_depth_feet'; row 3 holds them, so the header "
                           "is not on row 1: give --header-row 3\n")
    stdout = run_example("screen_reservoirs.py", ["titled.xlsx", "--header-row", "3", "--out", "titled"], tmp_path)
    scores = sheet(tmp_path / "titled", "First method scores")
    assert list(scores["Reservoir_ID"]) == list(sample["resv_id"])
    # Messages about a cell name its worksheet row.
    bad = sample.assign(pressure_psi=["high" if k == 0 else v for k, v in enumerate(sample.pressure_psi)])
    with pd.ExcelWriter(tmp_path / "bad.xlsx") as writer:
        pd.DataFrame([["EOR candidates"]]).to_excel(writer, index=False, header=False)
        bad.to_excel(writer, index=False, startrow=2)
    proc = run_screening(["bad.xlsx", "--header-row", "3"], tmp_path)
    assert proc.returncode == 2 and proc.stdout == ""
    assert "holds 'high' at row 4" in proc.stderr


def test_screening_names_every_missing_column_and_warns_once(tmp_path):
    sample = pd.read_csv(SAMPLE)
    sample.drop(columns=["resv_id", "top_depth_feet"]).to_csv(tmp_path / "few.csv", index=False)
    proc = run_screening(["few.csv"], tmp_path)
    assert proc.returncode == 2
    assert "required columns 'resv_id', 'top_depth_feet'" in proc.stderr
    # A misspelt column: one warning line, said once for the six calls.
    sample.rename(columns={"oil_density_max_val_deg_api": "oil_gravity_api"}).to_csv(tmp_path / "typo.csv",
                                                                                   index=False)
    proc = run_screening(["typo.csv"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("screen_reservoirs.py: warning: column 'oil_gravity_api'")
    assert "'oil_density_max_val_deg_api' was probably meant" in lines[0]

"""What a forecast can be trusted for: designs that are not wells refused,
the play's envelope and falling raw cumulatives warned of, the play folder
of the caller's choice, play files checked against the play's manifest,
corrupted plays named file by file, and the serializer's paths."""

import hashlib
import json
import os
import pathlib
import pickle
import shutil
import warnings

import numpy as np
import pandas as pd
import pytest

import quon
from conftest import PLAY_SUBDIR, QUON_FILE

DESIGN = dict(lat=41.7, lon=-76.6, frac_stages=20, well_len=5000, frac_spacing=250, fluid_vol=1500, isip=0)
COLUMNS = [quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages, quon.strWellLen,
           quon.strFracSpacing, quon.strFluidVolumePerLen]


def loaded(**kw):
    d = quon.CMainDravex(**kw)
    assert d.Process() is None
    return d


def table(*designs, index=None):
    return pd.DataFrame([list(x)[:6] for x in designs], columns=COLUMNS, index=index)


def wells_inside(envelope, n, seed):
    """Random wells inside the play's envelope: locations, laterals, stage
    lengths and fluid loadings drawn over its ranges, the stage count that
    fills the lateral."""
    rng = np.random.default_rng(seed)
    ranges = envelope["monthly models"]
    draw = {c: rng.uniform(*ranges[c], 4 * n) for c in COLUMNS}
    stages = np.round(draw[quon.strWellLen] / draw[quon.strFracSpacing])
    draw[quon.strFracStages] = stages
    draw[quon.strFracSpacing] = draw[quon.strWellLen] / np.maximum(stages, 1)
    designs = pd.DataFrame(draw)[COLUMNS]
    inside = np.ones(len(designs), bool)
    for c in COLUMNS:
        inside &= designs[c].between(*ranges[c]).to_numpy()
    return designs[inside].head(n).reset_index(drop=True)


# ------------------------------------------------------------ not a well

@pytest.mark.parametrize("change, words", [
    (dict(well_len=0), "well_len must be positive, got 0"),
    (dict(well_len=-5000), "well_len must be positive, got -5000"),
    (dict(frac_stages=0), "frac_stages must be positive, got 0"),
    (dict(frac_spacing=-250.0), "frac_spacing must be positive, got -250"),
    (dict(fluid_vol=-500), "fluid_vol must be positive, got -500"),
    (dict(frac_stages=40, well_len=6000, frac_spacing=300),
     r"frac_stages x frac_spacing \(40 x 300 = 12000\) is longer than well_len 6000 by more than 10 %"),
    (dict(frac_stages=400), r"frac_stages x frac_spacing \(400 x 250 = 100000\)"),
    (dict(frac_spacing=275.5), r"frac_stages x frac_spacing \(20 x 275.5 = 5510\)"),
    # a location off the globe (a projected northing, longitude in the
    # latitude's place) before the geological model sees it
    (dict(lat=4615000.0), r"lat must lie between -90 and 90 degrees, got 4.615e\+06"),
    (dict(lat=-176.6, lon=41.7), "lat must lie between -90 and 90 degrees, got -176.6"),
    (dict(lon=1e300), r"lon must lie between -180 and 180 degrees, got 1e\+300"),
])
def test_designs_that_are_not_wells_are_refused(play_root, change, words):
    d = loaded()
    d.Predict(**DESIGN)
    before = d.m_modelOutputList
    with pytest.raises(ValueError, match=f"CMainDravex.Predict: {words}.*: not a well that can be built"):
        d.Predict(**dict(DESIGN, **change))
    assert d.m_modelOutputList is before
    # Up to a tenth longer than the lateral is a well.
    assert len(d.Predict(**dict(DESIGN, frac_spacing=275))[0]) == 29


def test_batch_names_the_first_design_that_is_not_a_well(play_root):
    d = loaded()
    designs = table((41.7, -76.6, 20, 5000, 250, 1500), (41.7, -76.6, 40, 6000, 300, 1500),
                    (41.7, -76.6, 20, 0, 250, 1500), index=["ok", "too long", "no lateral"])
    with pytest.raises(ValueError, match=r"row label 'too long' is not a well that can be built: "
                                         r"\"total number of stages blended\" x \"average stage length blended\" "
                                         r"\(40 x 300 = 12000\).*\(2 designs are not wells\)"):
        d.PredictBatch(designs)
    far = table((41.7, -76.6, 20, 5000, 250, 1500), (41.7, 476000.0, 20, 5000, 250, 1500), index=["ok", "easting"])
    with pytest.raises(ValueError, match=r"row label 'easting' is not a well that can be built: "
                                         f'"{quon.strLongitudeMid}" must lie between -180 and 180 degrees'):
        d.PredictBatch(far)


def test_batch_names_every_missing_column(play_root):
    d = loaded()
    with pytest.raises(KeyError, match=f'designs has no columns "{quon.strLatitudeMid}", "{quon.strWellLen}", '
                                       f'"{quon.strFluidVolumePerLen}"'):
        d.PredictBatch(table(DESIGN.values()).drop(columns=[quon.strWellLen, quon.strLatitudeMid,
                                                            quon.strFluidVolumePerLen]))


# -------------------------------------------------------------- envelope

def test_predict_warns_of_each_value_outside_the_envelope(play_root):
    d = loaded()
    envelope = d.m_designEnvelope
    assert set(envelope) >= {"geological model", "monthly models"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        inside = d.Predict(**DESIGN)  # no warning
    top = envelope["monthly models"][quon.strWellLen][1]
    with pytest.warns(quon.ExtrapolationWarning) as caught:
        outside = d.Predict(**dict(DESIGN, lat=31.9, lon=-102.1, well_len=top * 1.05))
    assert issubclass(quon.ExtrapolationWarning, UserWarning)
    [message] = [str(w.message) for w in caught]
    assert message.startswith("CMainDravex.Predict: the forecast extrapolates: lat 31.9 lies outside the "
                              "geological model's window ")
    assert "lon -102.1 lies outside the geological model's window" in message
    assert f"well_len {top * 1.05:.6g} lies outside the monthly models' training range" in message
    assert "fluid_vol" not in message and "frac_stages" not in message
    # Predict's tables keep their columns.
    assert list(outside[1]) == list(inside[1]) == ["Month", "P90", "Q", "P10", "Model Output"]


def test_batch_names_what_lies_outside_per_design(play_root):
    d = loaded()
    top = d.m_designEnvelope["monthly models"][quon.strFluidVolumePerLen][1]
    designs = table((41.7, -76.6, 20, 5000, 250, 1500), (41.7, -76.6, 20, 5000, 250, top + 1),
                    (31.9, -102.1, 20, 5000, 250, 1500))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the batch warns of nothing: its columns say it
        rates, cums = d.PredictBatch(designs)
    assert "Outside Envelope" not in rates
    notes = cums.groupby("Design")["Outside Envelope"].agg(["first", "nunique"])
    assert (notes["nunique"] == 1).all()
    assert notes["first"][0] == "" and notes["first"][1] == quon.strFluidVolumePerLen
    assert notes["first"][2].startswith(f"{quon.strLatitudeMid}, {quon.strLongitudeMid}")


def test_without_an_envelope_file_nothing_is_checked(own_play):
    os.remove(own_play / PLAY_SUBDIR / quon.envelopeFile)
    d = loaded()
    assert d.m_designEnvelope is None
    with warnings.catch_warnings():
        warnings.simplefilter("error", quon.ExtrapolationWarning)
        d.Predict(**dict(DESIGN, lat=31.9, lon=-102.1))
    _, cums = d.PredictBatch(table(DESIGN.values()))
    assert cums["Outside Envelope"].isna().all()


@pytest.mark.parametrize("content, words", [
    ("{not json", "is not JSON text"),
    ('{"monthly model": {}}', 'unknown entry "monthly model"'),
    ('{"monthly models": {"latitude mid": [42, 41]}}', "lower bound lies above its upper bound"),
    ('{"monthly models": {"latitude mid": [41, "42"]}}', "must be a list of two numbers"),
    ('{"monthly models": {"porosity": [0, 1]}}', '"porosity" is not an input of the monthly models'),
    ('{"geological model": {"fluid loading blended": [1, 2]}}', "not an input of the geological model"),
    ("[1, 2]", "must be a mapping"),
])
def test_a_bad_envelope_file_is_named(own_play, content, words):
    path = own_play / PLAY_SUBDIR / quon.envelopeFile
    path.write_text(content)
    d = quon.CMainDravex()
    with pytest.raises(ValueError, match=words) as e:
        d.Process()
    assert str(path) in str(e.value)
    assert d.m_processError is e.value


# ---------------------------------------------------- falling cumulatives

class Lower:
    """A month's model whose outputs are a fraction of the original's."""

    def __init__(self, model, factor):
        self.model, self.factor = model, factor

    def get_booster(self):
        return self.model.get_booster()

    def predict(self, data):
        return self.model.predict(data) * np.float32(self.factor)


def test_falling_raw_cumulatives_are_warned_of_and_flagged(play_root):
    d = loaded()
    d.m_modelDict[20] = Lower(d.m_modelDict[20], 0.5)
    with pytest.warns(quon.FallingOutputWarning, match=r"raw cumulative \(\"Model Output\"\) falls at 1 of 28 "
                                                       r"steps, first from month 18 to month 20"):
        rates, cums = d.Predict(**DESIGN)
    assert len(rates) == 29
    _, batch = d.PredictBatch(table(DESIGN.values(), DESIGN.values()))
    assert batch["Model Output Falls"].all()
    d = loaded()
    _, batch = d.PredictBatch(table(DESIGN.values()))
    assert not batch["Model Output Falls"].any()


def test_demo_play_cumulatives_rise_inside_its_envelope(play_root):
    """The demo play generator's models: at least 95 % of random wells inside
    the envelope have rising raw cumulatives (by construction, all)."""
    d = loaded()
    designs = wells_inside(d.m_designEnvelope, 400, 21)
    assert len(designs) == 400
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a failed fit is not the question here
        _, cums = d.PredictBatch(designs)
    rising = ~cums.groupby("Design")["Model Output Falls"].first()
    assert rising.mean() >= 0.95
    outputs = cums["Model Output"].to_numpy().reshape(len(designs), 29)
    assert (np.diff(outputs, axis=1) >= 0).mean(axis=1).min() == 1.0  # the core's flag, checked apart


# ------------------------------------------------------------ play folder

def test_play_folder_of_the_callers_choice(small_play, tmp_path):
    quon.__file__ = str(tmp_path / "elsewhere" / os.path.basename(QUON_FILE))  # no play beside the module
    chosen = small_play / PLAY_SUBDIR
    for play_dir in (chosen, str(chosen)):
        d = loaded(playDir=play_dir)
        assert d.m_playDir == d.m_filesDir == str(chosen)
        assert len(d.Predict(**DESIGN)[0]) == 29
    with pytest.raises(KeyError, match=r"name the play folder with CMainDravex\(playDir=...\)"):
        loaded().Predict(**DESIGN)
    with pytest.raises(TypeError, match="positional argument"):
        quon.CMainDravex(str(chosen))
    with pytest.raises(TypeError, match="playDir must be a path"):
        quon.CMainDravex(playDir=3)


def test_a_named_play_folder_must_be_one(small_play, tmp_path, monkeypatch):
    d = quon.CMainDravex(playDir=tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError, match="nowhere\" named by playDir does not exist"):
        d.Process()
    with pytest.raises(FileNotFoundError, match="the last Process\\(\\) failed"):
        d.Predict(**DESIGN)
    with pytest.raises(FileNotFoundError, match="is it a play folder"):
        quon.CMainDravex(playDir=small_play).Process()  # the folder above DataFiles
    # Relative to the working folder at construction.
    monkeypatch.chdir(small_play / "DataFiles")
    d = quon.CMainDravex(playDir=pathlib.Path(PLAY_SUBDIR).name)
    monkeypatch.chdir(tmp_path)
    d.Process()
    assert d.m_filesDir == str(small_play / PLAY_SUBDIR)


# -------------------------------------------------------------- manifest

def test_the_demo_play_manifest_is_checked(own_play_with_manifest):
    play = own_play_with_manifest / PLAY_SUBDIR
    listed = (play / quon.manifestFile).read_text().splitlines()
    names = [line[66:] for line in listed]
    assert "Model/60/model.pickle" in names and quon.envelopeFile in names and len(names) == 2 + 2 * 28
    for line in listed:
        assert hashlib.sha256((play / line[66:]).read_bytes()).hexdigest() == line[:64]
    assert len(loaded().Predict(**DESIGN)[0]) == 29


@pytest.mark.parametrize("name", [os.path.join("Model", "20", "model.pickle"),
                                  os.path.join("Model", "20", "modelPredictTest.csv"),
                                  os.path.join("GeoModel", quon.strISIP + ".pickle"), quon.envelopeFile])
def test_a_changed_play_file_is_refused_naming_it(own_play_with_manifest, name):
    path = own_play_with_manifest / PLAY_SUBDIR / name
    with open(path, "ab") as f:
        f.write(b"\n")
    d = quon.CMainDravex()
    with pytest.raises(ValueError, match="has changed: its SHA-256 is not the one in") as e:
        d.Process()
    assert f'the play file "{path}"' in str(e.value)
    with pytest.raises(ValueError, match="the last Process\\(\\) failed"):
        d.Predict(**DESIGN)


class RunsCode:
    def __reduce__(self):
        return (os.getcwd, ())


def test_files_the_manifest_does_not_list_and_bad_manifests(own_play_with_manifest):
    play = own_play_with_manifest / PLAY_SUBDIR
    manifest = play / quon.manifestFile
    text = manifest.read_text()
    kept = [line for line in text.splitlines() if not line.endswith("Model/30/model.pickle")]
    manifest.write_text("\n".join(kept) + "\n")
    with pytest.raises(ValueError, match="Model/30/model.pickle\" is not listed in the play's manifest"):
        quon.CMainDravex().Process()
    manifest.write_text(text.replace("  Model/8/", "Model/8/", 1))
    with pytest.raises(ValueError, match=f'manifest "{manifest}", line \\d+: not a line of sha256sum'):
        quon.CMainDravex().Process()
    # A pickle swapped for one that would run code is refused before it is loaded.
    manifest.write_text(text)
    (play / "Model" / "6" / "model.pickle").write_bytes(pickle.dumps(RunsCode()))
    with pytest.raises(ValueError, match="6/model.pickle\" has changed"):
        quon.CMainDravex().Process()


# --------------------------------------------------------- corrupted plays

def month_file(play, month, name):
    return play / PLAY_SUBDIR / "Model" / str(month) / name


@pytest.mark.parametrize("text, error, words", [
    ("model,real\nabc,1.0\n2.0,3.0\n", ValueError, "column \"model\" that is not all numbers, first 'abc' in data row 1"),
    ("model,real\n1.0,x\n", ValueError, "column \"real\" that is not all numbers"),
    ("model,real\n0,1.0\n0,2.0\n", IndexError, ""),  # no row to take the band from
])
def test_corrupted_test_files_name_file_and_month(own_play, text, error, words):
    test_file = month_file(own_play, 20, "modelPredictTest.csv")
    test_file.write_text(text)
    d = quon.CMainDravex()
    with pytest.raises(error, match=words) as e:
        d.Process()
    assert f'{test_file}" (month 20)' in str(e.value)
    with pytest.raises(error, match="the last Process\\(\\) failed.*month 20"):
        d.Predict(**DESIGN)


def test_a_month_pickle_without_a_model_is_named(own_play):
    model_file = month_file(own_play, 20, "model.pickle")
    model_file.write_bytes(pickle.dumps(17))
    d = quon.CMainDravex()
    with pytest.raises(TypeError, match=r"\(month 20\) holds 17 \(int\), not a trained model: it has no "
                                        r"predict\(\) method") as e:
        d.Process()
    assert str(model_file) in str(e.value)
    geo = own_play / PLAY_SUBDIR / "GeoModel" / (quon.strISIP + ".pickle")
    geo.write_bytes(pickle.dumps("a text"))
    with pytest.raises(TypeError, match="holds 'a text' \\(str\\), not a trained model: it has no predict"):
        quon.CMainDravex().Process()


# -------------------------------------------------------------- serializer

S = quon.CSerializer()
TABLE = pd.DataFrame({"a": [1, 2], "b": [0.5, 1.5]})


def test_serializer_takes_path_like_folders(tmp_path):
    folder = tmp_path / "sub"
    S.OutputDataFrameToCSVByDirAndName(folder, "t.csv", TABLE)
    pd.testing.assert_frame_equal(S.GetDataFrameFromCSVFileByDirAndName(folder, pathlib.Path("t.csv")), TABLE)
    S.OutputDataFrameToPickleByDirAndName(folder, "t.pickle", TABLE)
    pd.testing.assert_frame_equal(S.GetDataFrameFromPickleFile(folder, "t.pickle"), TABLE)
    S.OutputDataFrameToExcelByPath(folder / "t.xlsx", TABLE)
    assert S.GetDataFrameFromExcelFileByDirAndName(folder, "t.xlsx", 0).shape == (2, 3)
    S.OutputDataFrameToCSVByPath(folder / "p.csv", TABLE)
    assert (folder / "p.csv").is_file()


def test_serializer_names_what_is_wrong_with_a_path(tmp_path):
    with pytest.raises(TypeError, match=r"CSerializer.GetDataFrameFromCSVFileByDirAndName: fileDir must be a path "
                                        r"\(text or os.PathLike\), got 3 \(int\)"):
        S.GetDataFrameFromCSVFileByDirAndName(3, "t.csv")
    with pytest.raises(TypeError, match="fileName must be a path"):
        S.OutputDataFrameToPickleByDirAndName(str(tmp_path), None, TABLE)
    with pytest.raises(TypeError, match="must be a path as text, got b"):
        S.OutputDataFrameToCSVByPath(b"/tmp/x.csv", TABLE)
    with pytest.raises(IsADirectoryError, match=f'"{tmp_path}" is a folder, not a file to write'):
        S.OutputDataFrameToExcelByPath(str(tmp_path), TABLE)
    with pytest.raises(IsADirectoryError, match="is a folder"):
        S.OutputDataFrameToCSVByDirAndName(str(tmp_path.parent), tmp_path.name, TABLE)
    with pytest.raises(ValueError, match=r"cannot write a workbook to \".*book\" \(.*\); name a file ending in .xlsx"):
        S.OutputDataFrameToExcelByPath(str(tmp_path / "book"), TABLE)

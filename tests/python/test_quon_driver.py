"""The forecasting driver on a generated play: loading, the P10/P90 bands
and predictions, checked against an independent computation; and the table
serializer."""

import os
import pickle
import shutil
import warnings
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import quon
import quon_reference as ref
from conftest import PLAY_SUBDIR

DESIGN = dict(lat=41.7, lon=-76.6, frac_stages=20, well_len=5000, frac_spacing=250,
              fluid_vol=1500, isip=0)


def loaded_driver():
    d = quon.CMainDravex()
    assert d.Process() is None
    return d


def test_process_loads_play(play_root):
    d = loaded_driver()
    play = str(play_root / PLAY_SUBDIR)
    assert d.m_filesDir == play
    assert list(d.m_geoModelDict) == ["isip (psia) median blended"]
    assert list(d.m_modelDict) == quon.nOutputMonthList
    assert list(d.m_modelProbBinned) == quon.nOutputMonthList == list(d.m_boundList)
    _, _, bounds, bands = ref.load_play(play)
    for m in quon.nOutputMonthList:
        assert d.m_boundList[m] == bounds[m]
        assert d.m_modelProbBinned[m] == bands[m]
        assert d.m_modelProbBinned[m][0]["P10"] == -d.m_modelProbBinned[m][0]["P90"] > 0


def test_predict_matches_independent_computation(play_root):
    d = loaded_driver()
    play = ref.load_play(str(play_root / PLAY_SUBDIR))
    for design in (DESIGN, dict(DESIGN, lat=41.4, lon=-77.5, frac_stages=40, well_len=7600, frac_spacing=190)):
        rates, cums = d.Predict(**design)
        design = {k: v for k, v in design.items() if k != "isip"}
        want_rates, want_cums, outputs = ref.predict(play, **design)
        assert list(rates) == ["Month", "P90", "q", "P10"]
        assert list(cums) == ["Month", "P90", "Q", "P10", "Model Output"]
        assert len(rates) == len(cums) == 29 and list(rates.index) == list(range(29))
        assert rates["Month"].tolist() == [0] + quon.nOutputMonthList
        # The plain-Python account: the model outputs bit for bit, the fits
        # curve_fit's to a millionth where curve_fit's own are determined
        # that finely (quon_reference.fit_agreement).
        assert cums["Model Output"].tolist()[1:] == [float(v) for v in outputs]
        pd.testing.assert_frame_equal(rates, want_rates, check_exact=False, rtol=0.05)
        pd.testing.assert_frame_equal(cums, want_cums, check_exact=False, rtol=0.01)
        t = [0] + quon.nOutputMonthList
        for rate_col, cum_col, series in (("q", "Q", outputs), ("P10", "P10", d.m_modelOutputWithProbList["P10"]),
                                          ("P90", "P90", d.m_modelOutputWithProbList["P90"])):
            got = (rates[rate_col].to_numpy(), cums[cum_col].to_numpy())
            assert ref.fit_agreement(t, [0] + list(series), got) != "different", (design, cum_col)
        assert d.m_modelOutputList == [0] + outputs
        assert len(d.m_modelOutputWithProbList["P10"]) == 28
        # P10 above the model above P90, by the month's band.
        assert (rates["P10"] > rates["q"]).all() and (rates["q"] > rates["P90"]).all()
    assert len(quon.nOutputMonthList) == 28


def test_predict_is_repeatable_and_ignores_isip(play_root):
    d = loaded_driver()
    first = d.Predict(**DESIGN)
    second = d.Predict(**dict(DESIGN, isip=99999))
    for a, b in zip(first, second):
        pd.testing.assert_frame_equal(a, b, check_exact=True)
    again = loaded_driver().Predict(*DESIGN.values())
    pd.testing.assert_frame_equal(first[1], again[1], check_exact=True)


def test_bands_scale_the_model_outputs(play_root):
    d = loaded_driver()
    for m in quon.nOutputMonthList:
        d.m_modelProbBinned[m] = {0: {"P10": 0.2, "P90": -0.2}}
    d.Predict(**DESIGN)
    out = d.m_modelOutputList[1:]
    assert d.m_modelOutputWithProbList["P10"] == pytest.approx([v * 1.2 for v in out])
    assert d.m_modelOutputWithProbList["P90"] == pytest.approx([v * 0.8 for v in out])


def test_outputs_above_the_last_bound_use_the_last_bin(play_root, monkeypatch):
    monkeypatch.setattr(quon, "numBins", 2)
    d = loaded_driver()
    for m in quon.nOutputMonthList:
        top = d.m_boundList[m][-1]
        d.m_boundList[m] = [top * 1e-6, top * 2e-6]  # every output lies above both
        d.m_modelProbBinned[m] = {0: {"P10": None, "P90": None}, 1: {"P10": 0.1, "P90": -0.1}}
    d.Predict(**DESIGN)
    assert d.m_modelOutputWithProbList["P10"] == pytest.approx([v * 1.1 for v in d.m_modelOutputList[1:]])


def band_of(rows, num_bins=1, monkeypatch=None):
    d = quon.CMainDravex()
    d._CMainDravex__SetP10P90BinnedMonth(pd.DataFrame(rows, columns=["model", "real"]), 6)
    return d.m_boundList[6], d.m_modelProbBinned[6]


def test_band_of_three_test_wells():
    bounds, bands = band_of([(100, 110), (200, 180), (300, 330)])
    assert bounds == [300.0]
    assert bands[0]["P10"] == pytest.approx(0.08) and bands[0]["P90"] == pytest.approx(-0.08)
    assert type(bands[0]["P10"]) is np.float64


@pytest.mark.parametrize("rows", [
    [(100.0, 110.0), (200.0, 180.0), (300.0, 330.0), (150.0, float("nan")), (250.0, -3.0), (0.0, 5.0)],
    [(5.0, 6.0), (5.0, 4.0), (5.0, 5.5)],
    [(float("nan"), 3.0), (1.0, 2.0), (3.0, 1.0)],  # a leading NaN wins the max and the min
    [(1, 2), (3, 1), (7, 8), (10, 9)],  # integer columns
    [(1.5, "2"), (3.0, "1")],  # text among the real values
], ids=["excluded-rows", "one-value", "leading-nan", "ints", "object-column"])
def test_bands_equal_pandas_and_numpy(rows, monkeypatch):
    for num_bins in (1, 3):
        monkeypatch.setattr(quon, "numBins", num_bins)
        df = pd.DataFrame(rows, columns=["model", "real"])
        try:
            want = ref.band(df, num_bins)
        except TypeError as e:
            with pytest.raises(TypeError):
                band_of(rows)
            continue
        assert repr(band_of(rows)) == repr(want)  # NaN-aware


def test_band_bin_counts_of_other_types(monkeypatch):
    rows = [(100.0, 110.0), (200.0, 180.0), (300.0, 330.0), (250.0, 240.0)]
    df = pd.DataFrame(rows, columns=["model", "real"])
    monkeypatch.setattr(quon, "numBins", np.int64(2))
    got = band_of(rows)
    assert repr(got) == repr(ref.band(df, np.int64(2)))
    assert type(got[0][0]) is np.float64  # bounds as numpy's arithmetic gives them
    monkeypatch.setattr(quon, "numBins", 0)
    with pytest.raises(ZeroDivisionError):
        band_of(rows)
    monkeypatch.setattr(quon, "numBins", -1)
    assert band_of(rows) == ([], {})


def test_band_failures():
    with pytest.raises(KeyError, match="model"):
        quon.CMainDravex()._CMainDravex__SetP10P90BinnedMonth(pd.DataFrame({"real": [1.0]}), 6)
    with pytest.raises(KeyError, match="real"):
        quon.CMainDravex()._CMainDravex__SetP10P90BinnedMonth(pd.DataFrame({"model": [1.0]}), 6)
    with pytest.raises(ValueError):
        band_of([])
    with pytest.raises(IndexError):  # numpy's error for the percentile of nothing
        band_of([(1.0, -1.0), (2.0, float("nan"))])


# ------------------------------------------------------ loading failures

def test_missing_play_directory_does_nothing(tmp_path):
    quon.__file__ = str(tmp_path / "quon.so")
    d = quon.CMainDravex()
    assert d.Process() is None
    assert d.m_filesDir is None and d.m_geoModelDict == {} and d.m_modelDict == {}
    play = os.path.join(str(tmp_path), PLAY_SUBDIR)
    with pytest.raises(KeyError, match="call Process\\(\\) first") as e:
        d.Predict(**DESIGN)
    assert f'the play folder "{play}" was not found' in str(e.value)
    os.makedirs(play)
    with pytest.raises(KeyError, match=r"no models loaded; call Process\(\) first'$"):
        quon.CMainDravex().Predict(**DESIGN)  # a play there, never processed


def test_missing_month_model_is_named_by_predict(own_play):
    # A model taken out of a loaded driver: only Process brings it back.
    d = loaded_driver()
    del d.m_modelDict[30]
    with pytest.raises(KeyError, match=r"no model of month 30 loaded; call Process\(\) first'$"):
        d.Predict(**DESIGN)
    model_dir = own_play / PLAY_SUBDIR / "Model"
    os.remove(model_dir / "30" / "model.pickle")
    d = loaded_driver()
    assert d.m_modelDict == {} and d.m_modelProbBinned == {}
    assert list(d.m_geoModelDict) == [quon.strISIP]
    with pytest.raises(KeyError) as e:
        d.Predict(**DESIGN)
    path = os.path.join(d.m_filesDir, "Model", "30", "model.pickle")
    assert str(e.value).startswith("'CMainDravex.Predict: no model of month 6 loaded")
    assert f'the play has no file "{path}" (month 30)' in str(e.value)
    # A wholly missing month folder reads the same.
    shutil.rmtree(model_dir / "30")
    with pytest.raises(KeyError, match="month 30"):
        loaded_driver().Predict(**DESIGN)


def test_missing_geological_model_is_named(own_play):
    path = own_play / PLAY_SUBDIR / "GeoModel" / (quon.strISIP + ".pickle")
    os.remove(path)
    d = loaded_driver()
    assert d.m_geoModelDict == {quon.strISIP: None}
    assert list(d.m_modelDict) == quon.nOutputMonthList  # the dictionary is not empty
    before = d.m_modelOutputList
    with pytest.raises(AttributeError) as e:
        d.Predict(**DESIGN)
    assert f'the file "{os.path.join(d.m_filesDir, "GeoModel", quon.strISIP + ".pickle")}"' in str(e.value)
    assert d.m_modelOutputList is before
    assert quon.CGeologicalModel().GetModel(str(own_play), quon.strISIP) is None


def test_empty_bin_band_fails_prediction_naming_the_month(play_root):
    d = loaded_driver()
    d.m_modelProbBinned[30] = {0: {"P10": None, "P90": None}}
    with pytest.raises(TypeError, match="month 30 has no P10 band in bin 0"):
        d.Predict(**DESIGN)
    assert len(d.m_modelOutputList) == 13  # what the interrupted call had put in


def test_non_converging_fit_fails_prediction(play_root, monkeypatch):
    d = loaded_driver()

    def gives_up(*a, **kw):
        raise RuntimeError("Optimal parameters not found: maximum calls reached")
    monkeypatch.setattr(quon, "curve_fit", gives_up)
    with pytest.raises(ZeroDivisionError):
        d.Predict(**DESIGN)


def month_file(play, month, name):
    return play / PLAY_SUBDIR / "Model" / str(month) / name


@pytest.mark.parametrize("content, error, words", [
    (b"not a pickle", pickle.UnpicklingError, "invalid load key"),
    (b"", EOFError, "Ran out of input"),
    (pickle.dumps(1)[:-1], EOFError, ""),
], ids=["garbage", "empty", "truncated"])
def test_unreadable_model_files_are_named(own_play, content, error, words):
    model_file = month_file(own_play, 6, "model.pickle")
    model_file.write_bytes(content)
    with pytest.raises(error, match=words) as e:
        quon.CMainDravex().Process()
    assert f'cannot load the model file "{model_file}" (month 6)' in str(e.value)
    assert e.value.__cause__ is not None
    geo_file = own_play / PLAY_SUBDIR / "GeoModel" / (quon.strISIP + ".pickle")
    geo_file.write_bytes(content)
    with pytest.raises(error, match=str(geo_file).replace("(", r"\(").replace(")", r"\)")):
        quon.CMainDravex().Process()


@pytest.mark.parametrize("text, error, words", [
    ("model,other\n1.0,2.0\n", KeyError, 'no column \\"real\\"'),
    ("well,real\n1,2.0\n", KeyError, 'no column \\"model\\"'),
    ("model,real\n", ValueError, "has no rows"),
    ("", ValueError, "No columns to parse"),
    ("model,real\n100,110\n,180\n300,330\n", ValueError, 'missing \\(NaN\\) value\\(s\\) in column \\"model\\"'),
], ids=["no-real", "no-model", "no-rows", "empty-file", "nan-model"])
def test_bad_test_files_are_named(own_play, text, error, words):
    test_file = month_file(own_play, 8, "modelPredictTest.csv")
    test_file.write_text(text)
    d = quon.CMainDravex()
    with pytest.raises(error, match=words) as e:
        d.Process()
    assert str(test_file) in str(e.value)
    assert list(d.m_boundList) == [6]  # the months before keep their new bands


def test_predict_after_a_failed_process_says_why(own_play):
    test_file = month_file(own_play, 8, "modelPredictTest.csv")
    test_file.write_text("model,real\n")
    d = quon.CMainDravex()
    with pytest.raises(ValueError) as failed:
        d.Process()
    assert d.m_processError is failed.value
    batch = pd.DataFrame([[41.7, -76.6, 20, 5000, 250, 1500]],
                         columns=[quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages, quon.strWellLen,
                                  quon.strFracSpacing, quon.strFluidVolumePerLen])
    for method, call in (("Predict", lambda: d.Predict(**DESIGN)), ("PredictBatch", lambda: d.PredictBatch(batch))):
        with pytest.raises(ValueError, match=f"CMainDravex.{method}: the last Process\\(\\) failed, so the play is "
                                             "not loaded: the test file") as e:
            call()
        assert f'{test_file}" (month 8) has no rows' in str(e.value)
        assert e.value.__cause__ is failed.value
    assert d.m_modelOutputList is None  # nothing ran
    # Mended, the play loads again and forecasts.
    test_file.write_text("model,real\n100,110\n200,180\n300,330\n")
    assert d.Process() is None and d.m_processError is None
    assert len(d.Predict(**DESIGN)[0]) == 29


def test_missing_test_file_and_nan_real_values(own_play):
    test_file = month_file(own_play, 8, "modelPredictTest.csv")
    pd.DataFrame({"model": [100.0, 200.0, 300.0], "real": [110.0, np.nan, 330.0]}).to_csv(test_file, index=False)
    d = loaded_driver()  # a missing real value only drops its row
    assert d.m_modelProbBinned[8][0]["P10"] == pytest.approx(0.1)
    os.remove(test_file)
    with pytest.raises(FileNotFoundError, match="modelPredictTest.csv"):
        quon.CMainDravex().Process()


# ------------------------------------------------------ refused arguments

ARGUMENTS = ["lat", "lon", "frac_stages", "well_len", "frac_spacing", "fluid_vol"]


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -np.inf, np.float32("nan"), 10**400, True,
                                 np.bool_(False), "41.7", None, [1, 2], Fraction(1, 3), 1 + 0j,
                                 np.array(5.0), object()],
                         ids=lambda v: type(v).__name__ + ":" + repr(v)[:12])
def test_refused_arguments_name_themselves_and_change_nothing(play_root, bad):
    d = loaded_driver()
    d.Predict(**DESIGN)
    outputs, with_prob = d.m_modelOutputList, d.m_modelOutputWithProbList
    for name in ARGUMENTS:
        with pytest.raises(ValueError, match=f"CMainDravex.Predict: {name} must be a finite number, got "):
            d.Predict(**dict(DESIGN, **{name: bad}))
        assert d.m_modelOutputList is outputs and d.m_modelOutputWithProbList is with_prob
        assert len(outputs) == 29


def test_accepted_numbers(play_root):
    d = loaded_driver()
    want = d.Predict(**DESIGN)
    for design in (dict(DESIGN, lat=np.float32(41.7), frac_stages=np.int32(20)),
                   dict(DESIGN, well_len=np.int64(5000), fluid_vol=np.float64(1500)),
                   dict(DESIGN, frac_stages=20.0, isip=float("nan")),  # isip is not used
                   dict(DESIGN, isip="not a number")):
        rates, cums = d.Predict(**design)
        assert len(rates) == 29 and np.isfinite(cums["Q"]).all()
    pd.testing.assert_frame_equal(d.Predict(**dict(DESIGN, isip=None))[1], want[1], check_exact=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rates, _ = d.Predict(**dict(DESIGN, well_len=1e300))  # finite, far outside the training
    assert len(rates) == 29


# ---------------------------------------------------------------- serializer

S = quon.CSerializer()
TABLE = pd.DataFrame({"a": [1, 2, 3], "b": [0.5, np.nan, 2.5], "c": ["x", "y", "z"]},
                     index=[10, 11, 12])


def test_csv_round_trip_with_sub_folders(tmp_path):
    name = os.path.join("sub", "t.csv")
    assert S.OutputDataFrameToCSVByDirAndName(str(tmp_path / "new"), name, TABLE) is None
    back = S.GetDataFrameFromCSVFileByDirAndName(str(tmp_path / "new"), name)
    pd.testing.assert_frame_equal(back, TABLE.reset_index(drop=True))
    # An existing folder is not an error.
    S.OutputDataFrameToCSVByDirAndName(str(tmp_path / "new"), name, TABLE)
    S.OutputDataFrameToCSVByPath(str(tmp_path / "p.csv"), TABLE)
    assert (tmp_path / "p.csv").read_text().splitlines()[0] == "a,b,c"
    with pytest.raises(FileNotFoundError):
        S.GetDataFrameFromCSVFileByDirAndName(str(tmp_path), "missing.csv")
    with pytest.raises(OSError):
        S.OutputDataFrameToCSVByPath(str(tmp_path / "no" / "p.csv"), TABLE)


def test_pickle_round_trip(tmp_path):
    S.OutputDataFrameToPickleByDirAndName(str(tmp_path / "d"), "t.pickle", TABLE)
    pd.testing.assert_frame_equal(S.GetDataFrameFromPickleFile(str(tmp_path / "d"), "t.pickle"), TABLE)
    assert S.GetDataFrameFromPickleFile(str(tmp_path), "missing.pickle") is None
    assert S.GetDataFrameFromPickleFile(str(tmp_path), "d") is None  # a folder
    with pytest.raises(OSError):  # only fileDir is created, not folders inside the name
        S.OutputDataFrameToPickleByDirAndName(str(tmp_path / "e"), os.path.join("x", "t.pickle"), TABLE)
    assert (tmp_path / "e").is_dir()


def test_excel_round_trip(tmp_path):
    path = str(tmp_path / "t.xlsx")
    S.OutputDataFrameToExcelByPath(path, TABLE)
    back = S.GetDataFrameFromExcelFileByDirAndName(str(tmp_path), "t.xlsx", "Sheet1")
    assert list(back.columns) == ["Unnamed: 0", "a", "b", "c"]
    assert back["Unnamed: 0"].tolist() == [10, 11, 12]
    pd.testing.assert_frame_equal(back.iloc[:, 1:], TABLE.reset_index(drop=True))
    assert S.GetDataFrameFromExcelFileByDirAndName(str(tmp_path), "t.xlsx", 0).shape == (3, 4)
    with pytest.raises(ValueError):
        S.GetDataFrameFromExcelFileByDirAndName(str(tmp_path), "t.xlsx", "Other")
    with pytest.raises(FileNotFoundError):
        S.GetDataFrameFromExcelFileByDirAndName(str(tmp_path), "none.xlsx", 0)


def test_excel_writer_is_closed_also_when_writing_fails(tmp_path, monkeypatch):
    closed = []
    real_writer = pd.ExcelWriter

    def recording_writer(path):
        writer = real_writer(path)
        close = writer.close
        writer.close = lambda: (closed.append(path), close())
        return writer
    monkeypatch.setattr(pd, "ExcelWriter", recording_writer)
    with pytest.raises(AttributeError):
        S.OutputDataFrameToExcelByPath(str(tmp_path / "bad.xlsx"), object())
    assert closed == [str(tmp_path / "bad.xlsx")]
    S.OutputDataFrameToExcelByPath(str(tmp_path / "good.xlsx"), TABLE)
    assert closed[1:] == [str(tmp_path / "good.xlsx")]


def test_paths_join_with_the_platform_separator(tmp_path):
    S.OutputDataFrameToCSVByDirAndName(str(tmp_path) + os.sep, "t.csv", TABLE)
    assert (tmp_path / "t.csv").is_file()
    with pytest.raises(TypeError):
        S.GetDataFrameFromCSVFileByDirAndName(None, "t.csv")

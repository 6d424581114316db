"""The forecasting driver on a generated play: loading, the P10/P90 bands
and predictions, checked against an independent computation; and the table
serializer."""

import os
import pickle
import warnings

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
    for design in (DESIGN, dict(DESIGN, lat=41.4, lon=-77.5, frac_stages=40, well_len=8000)):
        rates, cums = d.Predict(**design)
        design = {k: v for k, v in design.items() if k != "isip"}
        want_rates, want_cums, outputs = ref.predict(play, **design)
        assert list(rates) == ["Month", "P90", "q", "P10"]
        assert list(cums) == ["Month", "P90", "Q", "P10", "Model Output"]
        assert len(rates) == len(cums) == 29 and list(rates.index) == list(range(29))
        assert rates["Month"].tolist() == [0] + quon.nOutputMonthList
        pd.testing.assert_frame_equal(rates, want_rates, check_exact=False, rtol=1e-9)
        pd.testing.assert_frame_equal(cums, want_cums, check_exact=False, rtol=1e-9)
        assert cums["Model Output"].tolist()[1:] == [float(v) for v in outputs]
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
    with pytest.raises(KeyError):
        d.Predict(**DESIGN)


def test_missing_month_model_leaves_models_empty(own_play):
    os.remove(own_play / PLAY_SUBDIR / "Model" / "60" / "model.pickle")
    d = loaded_driver()
    assert d.m_modelDict == {} and d.m_modelProbBinned == {}
    assert list(d.m_geoModelDict) == [quon.strISIP]
    with pytest.raises(KeyError):
        d.Predict(**DESIGN)


def test_missing_geological_model(own_play):
    os.remove(own_play / PLAY_SUBDIR / "GeoModel" / (quon.strISIP + ".pickle"))
    d = loaded_driver()
    assert d.m_geoModelDict == {quon.strISIP: None}
    assert list(d.m_modelDict) == quon.nOutputMonthList  # the dictionary is not empty
    with pytest.raises(AttributeError):
        d.Predict(**DESIGN)
    assert quon.CGeologicalModel().GetModel(str(own_play), quon.strISIP) is None


def test_empty_bin_band_fails_prediction(play_root):
    d = loaded_driver()
    d.m_modelProbBinned[30] = {0: {"P10": None, "P90": None}}
    with pytest.raises(TypeError):
        d.Predict(**DESIGN)
    assert len(d.m_modelOutputList) == 13  # what the interrupted call had put in


def test_non_converging_fit_fails_prediction(play_root, monkeypatch):
    d = loaded_driver()

    def gives_up(*a, **kw):
        raise RuntimeError("Optimal parameters not found: maximum calls reached")
    monkeypatch.setattr(quon, "curve_fit", gives_up)
    with pytest.raises(ZeroDivisionError):
        d.Predict(**DESIGN)


def test_corrupt_and_broken_files(own_play):
    month = own_play / PLAY_SUBDIR / "Model" / "6"
    (month / "model.pickle").write_bytes(b"not a pickle")
    with pytest.raises(pickle.UnpicklingError):
        quon.CMainDravex().Process()
    (month / "model.pickle").write_bytes(b"")
    with pytest.raises(EOFError):
        quon.CMainDravex().Process()
    test_file = own_play / PLAY_SUBDIR / "Model" / "8" / "modelPredictTest.csv"
    with open(own_play / PLAY_SUBDIR / "Model" / "10" / "model.pickle", "rb") as f:
        (month / "model.pickle").write_bytes(f.read())
    pd.DataFrame({"model": [1.0], "other": [2.0]}).to_csv(test_file, index=False)
    d = quon.CMainDravex()
    with pytest.raises(KeyError, match="real"):
        d.Process()
    assert list(d.m_boundList) == [6, 8]  # the months before keep their new bands
    test_file.write_text("model,real\n")
    with pytest.raises(ValueError):
        quon.CMainDravex().Process()
    os.remove(test_file)
    with pytest.raises(FileNotFoundError):
        quon.CMainDravex().Process()


@pytest.mark.parametrize("bad", [dict(lat="north"), dict(frac_stages=None), dict(well_len=[1, 2]),
                                 dict(lon=object())])
def test_non_numeric_predict_arguments_raise(play_root, bad):
    d = loaded_driver()
    with pytest.raises((TypeError, ValueError)):
        d.Predict(**dict(DESIGN, **bad))


def test_predict_with_extreme_numbers_does_not_crash(play_root):
    d = loaded_driver()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for value in (float("nan"), float("inf"), 1e300):
            try:
                rates, _ = d.Predict(**dict(DESIGN, well_len=value))
            except (ValueError, ZeroDivisionError, OverflowError):
                continue
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

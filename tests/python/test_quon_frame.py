"""The forecasting module's frame: names, values and order of its
vocabulary, its plain classes, and the once-per-process guard."""

import inspect
import os

import pytest

import quon
from conftest import QUON_FILE


def public_names():
    return [k for k in vars(quon) if not (k.startswith("__") and k.endswith("__"))]


def test_body_binds_in_order():
    names = public_names()
    assert names[:5] == ["os", "pd", "pickle", "np", "curve_fit"]
    for earlier, later in [("prodHistoricalTable", "bModelInputFilesExist"),
                           ("bModelPerProb", "dataBaseName"), ("dataBaseName", "strWellID"),
                           ("strFracSpacing", "strUTMEasting"), ("strNormMonth", "wellHeadersFileName"),
                           ("strRateList", "strCumulative"), ("strNormQ1nf", "limCumulative"),
                           ("geoModelFileDir", "nOutputMonthList"),
                           ("modelSubDirCumulativeOutput", "normTimeCoeff"),
                           ("numGroupProb", "sliderLabels"), ("yGeoModelList", "CGeologicalModel")]:
        assert names.index(earlier) < names.index(later), (earlier, later)
    assert names[-5:] == ["CGeologicalModel", "CSerializer", "CHistoryMatch", "CQCalculator",
                          "CMainDravex"]
    import numpy, pandas, pickle, scipy.optimize
    assert (quon.np, quon.pd, quon.pickle, quon.os) == (numpy, pandas, pickle, os)
    assert quon.curve_fit is scipy.optimize.curve_fit


def test_default_column_set():
    assert quon.dataBaseName == "EDM"
    assert quon.strGasRate == "gas production" and quon.strRate == "gas production"
    assert quon.strWellID is None and quon.strFracStagesPerLen is None
    assert quon.strISIP == "isip (psia) median blended"
    assert quon.strFracSpacing == "average stage length blended"
    assert quon.strLateralSpacing == "lateral spacing blended"
    assert quon.strNeighExt == " neigh"
    names = public_names()
    first, last = names.index("strWellID"), names.index("strFracSpacing")
    assert last - first + 1 == 54


def test_derived_names():
    gas = "gas production"
    assert quon.strRateList == [gas, "liquid production", "water production"]
    assert quon.strCumulative[gas] == "gas production cumulative"
    assert quon.strCumulativeFit[gas] == "gas production cumulative fit"
    assert quon.strCumulativeModelProb["water production"]["P90"] == \
        "water production cumulative model P90"
    assert list(quon.strRateModelProb[gas]) == ["P10", "P90"]
    assert quon.strRateModelProb[gas]["P10"] == "gas production model P10"
    assert quon.strQStream[gas] == "gas production cumulative on stream neigh"
    assert quon.strNormQ1nf[gas] == "gas production cumulative 12 norm by nf"
    assert list(quon.strCumulative) == quon.strRateList
    assert list(quon.limCumulative) == ["liquid production", "gas production", "water production"]
    assert quon.wellHeaderTable["Canada"] == "[CanQuarvel_2-latest].[PE2100_CAN_Primary_WellHeaders]"


def test_month_grid_and_constants():
    assert quon.nOutputMonthList == list(range(6, 61, 2)) and len(quon.nOutputMonthList) == 28
    assert quon.modelSubDirCumulativeOutput[60] == "60"
    assert quon.strNumCumulativeMonth[6] == "cumulative 6"
    assert quon.strNumCumulativeMonthFit[8] == "cumulative fit 8"
    assert quon.strRatioNumCumulativeMonth[60] == "ratio cumulative 60"
    assert quon.QUnitFactor == 0.001 * 30.4375 and quon.QUnitFactor.hex() == (0.001 * 30.4375).hex()
    assert (quon.normTimeCoeff, quon.bPlay, quon.numBins, quon.numGroupProb) == (30.4375, 1.3, 1, 1)
    assert (quon.distNeighLimit, quon.minDiffDaysNeigh) == (10000, 365)
    assert len(quon.xNumColList) == 7 and quon.xNumColList[3] == "isip (psia) median blended"
    assert quon.xNumColList[:2] == ["latitude mid", "longitude mid"] == quon.xGeoModelList
    assert quon.yGeoModelList == ["isip (psia) median blended"]
    assert quon.sliderLabels == ["total number of stages blended", "completed horizontal length blended",
                                 "average stage length blended", "fluid loading blended"]
    assert (quon.modelDir, quon.modelFile, quon.modelPredictTestFile, quon.geoModelFileDir) == \
        ("Model", "model.pickle", "modelPredictTest.csv", "GeoModel")
    assert quon.bRatioCumulativeExist is False and quon.bModelPerProb is True


METHODS = {
    "CGeologicalModel": ["GetModel"],
    "CSerializer": ["OutputDataFrameToExcelByPath", "OutputDataFrameToCSVByPath",
                    "OutputDataFrameToCSVByDirAndName", "OutputDataFrameToPickleByDirAndName",
                    "GetDataFrameFromExcelFileByDirAndName", "GetDataFrameFromCSVFileByDirAndName",
                    "GetDataFrameFromPickleFile"],
    "CHistoryMatch": ["_CHistoryMatch__GetRateByTime", "_CHistoryMatch__GetCumulativeByTime",
                      "GetRateList", "GetCumulativeList", "GetqiByCumulative", "GetMatchParams",
                      "GetMatchLists"],
    "CQCalculator": ["GetQWell"],
    "CMainDravex": ["__init__", "SetFilesDir", "_CMainDravex__GetGeoModels",
                    "_CMainDravex__GetModelsDummy", "_CMainDravex__GetModels",
                    "_CMainDravex__SetP10P90BinnedMonth", "_CMainDravex__SetP10P90Binned",
                    "_CMainDravex__get_filepath", "Process", "Predict", "PredictBatch"],
}


@pytest.mark.parametrize("name", sorted(METHODS))
def test_plain_classes(name):
    cls = getattr(quon, name)
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == "quon" and cls.__qualname__ == name
    own = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert own == METHODS[name]
    obj = cls()
    obj.anything = 1  # ordinary instance attributes
    assert vars(obj)["anything"] == 1


def test_private_methods_are_mangled():
    d = quon.CMainDravex()
    assert not hasattr(d, "__GetModels")
    assert callable(d._CMainDravex__GetModels)
    assert not hasattr(quon.CHistoryMatch(), "__GetRateByTime")


def test_signatures_and_argument_counts():
    assert str(inspect.signature(quon.CMainDravex().Predict)) == \
        "(lat, lon, frac_stages, well_len, frac_spacing, fluid_vol, isip)"
    assert str(inspect.signature(quon.CMainDravex().PredictBatch)) == "(designs)"
    assert str(inspect.signature(quon.CHistoryMatch.GetqiByCumulative)) == \
        "(self, DiTan, b, tList, modelOutput, iTime)"
    assert str(inspect.signature(quon.CSerializer().OutputDataFrameToCSVByDirAndName)) == \
        "(fileDir, fileName, df)"
    h = quon.CHistoryMatch()
    assert h.GetRateList(tList=[12], qi=1000, DiTan=0.01, b=1.3) == h.GetRateList([12], 1000, 0.01, 1.3)
    for call in (lambda: h.GetRateList([1], 1, 1), lambda: quon.CMainDravex(1),
                 lambda: quon.CMainDravex().Predict(1, 2, 3), lambda: quon.CQCalculator().GetQWell([0]),
                 lambda: quon.CSerializer().GetDataFrameFromPickleFile("a", "b", "c"),
                 lambda: h.GetRateList([1], 1, 1, 1, extra=2)):
        with pytest.raises(TypeError):
            call()


def test_constructor_state():
    d = quon.CMainDravex()
    attrs = list(vars(d))
    assert attrs == ["m_filesDir", "m_modelOutputList", "m_API", "m_modelOutputWithProbList",
                     "m_modelProb", "m_modelProbBinned", "m_boundList", "m_noSliderVar",
                     "m_sliderVar", "m_minSliderVar", "m_maxSliderVar", "m_resolSlider",
                     "m_geoModelDict", "m_modelDict", "m_lbDict", "m_bSliderModelPred",
                     "m_serializer", "m_historyMatch", "m_QCal", "m_b", "m_DiTan", "m_dfModelPred",
                     "m_minLat", "m_maxLat", "m_minLong", "m_maxLong", "m_deltaLat", "m_deltaLong",
                     "m_sizeDict", "m_playDir", "m_designEnvelope", "m_processError"]
    assert d.m_playDir is None and d.m_designEnvelope is None and d.m_processError is None
    assert d.m_deltaLat == 0.6099999999999994 and d.m_deltaLong == 2.030000000000001
    assert d.m_sliderVar[quon.strWellLen] == 3000
    assert list(d.m_sliderVar) == [quon.strFracStages, quon.strWellLen, quon.strFluidVolume,
                                   quon.strTVD, None, quon.strPropPerLen, quon.strFluidVolumePerLen,
                                   quon.strFracSpacing]
    assert list(d.m_maxSliderVar.values()) == [40, 8000, 500000, 9000, 5, 5000, 3000, 1000]
    assert list(d.m_resolSlider.values()) == [1, 200, 50000, 200, 1, 200, 100, 100]
    assert isinstance(d.m_serializer, quon.CSerializer) and isinstance(d.m_QCal, quon.CQCalculator)
    assert isinstance(d.m_historyMatch, quon.CHistoryMatch)
    assert d.m_b == 1.3 and d.m_DiTan == 0 and type(d.m_DiTan) is int
    assert d.m_filesDir is None and d.m_modelDict == {} and d.m_bSliderModelPred is False


def test_constructor_reads_the_module_namespace(monkeypatch):
    monkeypatch.setattr(quon, "bPlay", 1.5)
    monkeypatch.setattr(quon, "strWellLen", "lateral")
    d = quon.CMainDravex()
    assert d.m_b == 1.5 and d.m_sliderVar["lateral"] == 3000


def test_get_filepath_reads_module_file(tmp_path):
    d = quon.CMainDravex()
    assert d._CMainDravex__get_filepath("x") == os.path.join(os.path.dirname(QUON_FILE), "x")
    quon.__file__ = str(tmp_path / "quon.so")
    assert d._CMainDravex__get_filepath("x") == str(tmp_path / "x")


def test_models_dummy_lists_25_paths():
    d = quon.CMainDravex()
    d.SetFilesDir("D")
    text = d._CMainDravex__GetModelsDummy()
    sep = os.sep
    paths = text.split(" ")
    assert paths[0] == "" and len(paths) == 26
    assert paths[1] == sep.join(["D", "Model", "6", "model.pickle"])
    assert paths[-1] == sep.join(["D", "Model", "54", "model.pickle"])


def test_loaders_without_files_dir_raise_type_error():
    d = quon.CMainDravex()
    with pytest.raises(TypeError):
        d._CMainDravex__GetGeoModels()
    with pytest.raises(TypeError):
        d._CMainDravex__GetModels()


# The guard cases run for both modules in test_module_frame.py.

def test_zelt_and_quon_share_no_state(run_python):
    result = run_python("""
        import quon, zelt
        quon.__file__ = "/nonexistent/quon.so"
        assert zelt.get_filepath("x") != "/nonexistent/x"
        print("ok")
    """)
    assert result.returncode == 0, result.stderr

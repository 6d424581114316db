"""Repeated forecasting calls leak neither memory nor references."""

import gc
import os
import sys
import warnings
import weakref

import numpy as np
import pandas as pd
import pytest

import quon

PAGE = os.sysconf("SC_PAGE_SIZE")


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def growth_after_warm_up(fn, calls):
    for _ in range(calls):
        fn()
    before = current_rss()
    for _ in range(calls):
        fn()
    return current_rss() - before


def failing(fn, *args):
    def call():
        try:
            fn(*args)
        except Exception:
            pass
    return call


H = quon.CHistoryMatch()
T = np.array([0.0] + [float(m) for m in quon.nOutputMonthList])
T_LIST = [0] + quon.nOutputMonthList


@pytest.mark.parametrize("name, fn", [
    ("cumulative list, array", lambda: H.GetCumulativeList(T, 1000.0, 0.01, 1.3)),
    ("rate list, plain list", lambda: H.GetRateList(T_LIST, 1000, 0.01, 1.3)),
    ("element road", lambda: H.GetRateList([T], 1000.0, 0.01, 1.3)),
    ("walk", lambda: quon.CQCalculator().GetQWell(T_LIST, T)),
    ("qi", lambda: H.GetqiByCumulative(0.01, 1.3, T_LIST, 345.0, -1)),
    ("zero division", failing(H.GetRateList, T_LIST, 1, 0, 0)),
    ("bad types", failing(H.GetCumulativeList, ["a"], 1, 2, 3)),
    ("bad walk", failing(quon.CQCalculator().GetQWell, [0, 1, 2], [0, 1])),
    ("band", lambda: quon.CMainDravex()._CMainDravex__SetP10P90BinnedMonth(
        pd.DataFrame({"model": [100.0, 200.0, 300.0], "real": [110.0, 180.0, 330.0]}), 6)),
    ("band failure", failing(quon.CMainDravex()._CMainDravex__SetP10P90BinnedMonth,
                             pd.DataFrame({"model": [1.0]}), 6)),
    ("refused argument", failing(quon.CMainDravex().Predict, float("nan"), 0, 0, 0, 0, 0, 0)),
    ("predict before process", failing(quon.CMainDravex().Predict, 41.7, -76.6, 20, 5000, 250, 1500, 0)),
])
def test_repeated_calls_do_not_grow_memory(name, fn):
    assert growth_after_warm_up(fn, 5000) < 2 * 2**20, name


def test_predict_does_not_grow_memory_or_hold_arguments(play_root):
    d = quon.CMainDravex()
    d.Process()
    lat, lon = 41.7, -76.6
    stages = 20.5  # a float object of its own, so its count is ours
    args = [lat, lon, stages, 5000.0, 250.0, 1500.0, 0.0]
    counts = [sys.getrefcount(a) for a in args]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        growth = growth_after_warm_up(lambda: d.Predict(*args), 60)
    assert growth < 4 * 2**20
    # The driver keeps the last call's feature values only inside its
    # output lists; nothing else holds the arguments.
    d.m_modelOutputList = None
    d.m_modelOutputWithProbList = {}
    assert [sys.getrefcount(a) for a in args] == counts


def test_failing_predict_does_not_grow_memory(play_root):
    d = quon.CMainDravex()
    d.Process()
    d.m_modelProbBinned[6] = {0: {"P10": None, "P90": None}}
    assert growth_after_warm_up(failing(d.Predict, 41.7, -76.6, 20, 5000, 250, 1500, 0), 200) < 2 * 2**20


def test_collected_drivers_leave_no_lock_behind(tmp_path):
    """The driver's lock lives in a registry beside the driver (its
    attributes are fixed); the entry goes with the driver."""
    quon.__file__ = str(tmp_path / "quon.so")  # no play: Process returns at once

    def registry_refs(alive_ids=None):
        gc.collect()
        refs = [o for o in gc.get_objects() if type(o) is weakref.ref]
        if alive_ids is None:
            return sum(1 for r in refs if r() is None)
        return sum(1 for r in refs if id(r()) in alive_ids)
    dead_before = registry_refs()
    drivers = [quon.CMainDravex() for _ in range(200)]
    for d in drivers:
        assert d.Process() is None
    assert registry_refs({id(d) for d in drivers}) == 200
    del drivers, d
    assert registry_refs() == dead_before


def test_batches_do_not_grow_memory_or_hold_tables(play_root):
    d = quon.CMainDravex()
    d.Process()
    columns = [quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages, quon.strWellLen,
               quon.strFracSpacing, quon.strFluidVolumePerLen]
    designs = pd.DataFrame([[41.7, -76.6, 20, 5000, 250, 1500], [41.5, -77.0, 12, 4000, 330, 900]] * 10,
                           columns=columns)
    refused = designs.copy()
    refused.loc[5, quon.strWellLen] = np.nan
    count = sys.getrefcount(designs)
    assert growth_after_warm_up(lambda: d.PredictBatch(designs), 40) < 4 * 2**20
    assert growth_after_warm_up(failing(d.PredictBatch, refused), 200) < 2 * 2**20
    assert sys.getrefcount(designs) == count

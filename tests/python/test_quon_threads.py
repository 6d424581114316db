"""One driver shared by several threads: each caller gets the tables of its
own arguments, as serial calls give them, while Process reloads the play."""

import sys
import threading
import warnings

import pandas as pd
import pytest

import quon

DESIGNS = [
    (41.7, -76.6, 20, 5000, 250, 1500, 0),
    (41.45, -77.3, 6, 3000, 500, 400, 0),
    (41.9, -75.8, 36, 7600, 210, 2600.0, 0),
    (41.6, -76.0, 12, 4000, 330, 900.5, 0),
]


@pytest.fixture
def fast_switching():
    """Threads switch as often as the interpreter allows."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    errors = []

    def guarded(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # reported by the test, not lost in the thread
                errors.append(e)
        return run
    threads = [threading.Thread(target=guarded(fn)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread is still waiting"
    return errors


def test_four_threads_with_alternating_designs_and_a_reload(play_root, fast_switching):
    d = quon.CMainDravex()
    d.Process()
    with warnings.catch_warnings():  # the filters are the process's, threads included
        warnings.simplefilter("ignore")
        serial = [d.Predict(*design) for design in DESIGNS]
        start = threading.Barrier(5)
        mismatches = []

        def predictor(i):
            def run():
                start.wait()
                for n in range(6):
                    k = (i + n) % len(DESIGNS)
                    got = d.Predict(*DESIGNS[k])
                    for table, want in zip(got, serial[k]):
                        try:
                            pd.testing.assert_frame_equal(table, want, check_exact=True)
                        except AssertionError as e:
                            mismatches.append((i, n, k, str(e)[:200]))
            return run

        def reloader():
            start.wait()
            for _ in range(3):
                assert d.Process() is None

        errors = run_threads([predictor(i) for i in range(4)] + [reloader])
    assert errors == [] and mismatches == []
    # The driver's lists are those of one whole call.
    outputs = d.m_modelOutputList
    assert len(outputs) == 29 and outputs[0] == 0
    assert len(d.m_modelOutputWithProbList["P10"]) == len(d.m_modelOutputWithProbList["P90"]) == 28


def test_a_failing_call_releases_the_driver(play_root):
    d = quon.CMainDravex()
    d.Process()
    band = d.m_modelProbBinned[30]
    d.m_modelProbBinned[30] = {0: {"P10": None, "P90": None}}
    with pytest.raises(TypeError, match="month 30"):
        d.Predict(*DESIGNS[0])
    d.m_modelProbBinned[30] = band
    results = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert run_threads([lambda: results.append(d.Predict(*DESIGNS[1]))]) == []
    assert len(results) == 1 and len(results[0][0]) == 29


def test_batches_and_single_forecasts_share_a_driver(play_root, fast_switching):
    """PredictBatch holds the driver's lock as Predict does, and runs its
    own worker threads inside it."""
    d = quon.CMainDravex()
    d.Process()
    table = pd.DataFrame([design[:6] for design in DESIGNS] * 5,
                         columns=[quon.strLatitudeMid, quon.strLongitudeMid, quon.strFracStages, quon.strWellLen,
                                  quon.strFracSpacing, quon.strFluidVolumePerLen])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        serial_batch = d.PredictBatch(table)
        serial = [d.Predict(*design) for design in DESIGNS]
        start = threading.Barrier(4)
        mismatches = []

        def batcher():
            start.wait()
            for _ in range(4):
                for got, want in zip(d.PredictBatch(table), serial_batch):
                    if not got.equals(want):
                        mismatches.append("batch")

        def predictor(i):
            def run():
                start.wait()
                for n in range(6):
                    k = (i + n) % len(DESIGNS)
                    for got, want in zip(d.Predict(*DESIGNS[k]), serial[k]):
                        if not got.equals(want):
                            mismatches.append((i, n))
            return run

        errors = run_threads([batcher, batcher, predictor(0), predictor(1)])
    assert errors == [] and mismatches == []
    # The batch's rows of a design are the single forecast's, to the fits' agreement.
    for k in range(len(DESIGNS)):
        rows = serial_batch[1].iloc[k * 29:(k + 1) * 29].drop(
            columns=["Design", "Outside Envelope", "Model Output Falls"]).reset_index(drop=True)
        pd.testing.assert_frame_equal(rows, serial[k][1], check_exact=False, rtol=1e-4)

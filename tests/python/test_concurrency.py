"""Two Python threads screening different tables at the same moment get what
serial calls get: the core runs without the GIL, and with more than 2048
reservoirs it starts worker threads of its own, so both calls' workers run
side by side."""
import os
import threading

import pandas.testing as pdt
import pytest

import zelt
from reference_pipeline import random_reservoirs

LONG = os.environ.get("ZELT_LONG") == "1"
ROWS = 6000 if LONG else 2100
ROUNDS = 6 if LONG else 2

TABLES = {"a": random_reservoirs(ROWS, seed=71, nan_frac=0.2),
          "b": random_reservoirs(ROWS + 37, seed=72, nan_frac=0.4, id_kind="int")}
PIPELINES = {"halvane": zelt.halvane_zelt, "uom": zelt.uom_zelt}


@pytest.fixture(scope="module")
def serial():
    return {(p, t): PIPELINES[p](TABLES[t].copy()) for p in PIPELINES for t in TABLES}


def run_together(jobs):
    """Runs each (pipeline, table) job on its own thread, released at once."""
    barrier = threading.Barrier(len(jobs))
    results, errors = {}, []

    def work(job):
        pipeline, table = job
        edin = TABLES[table].copy()
        try:
            barrier.wait()
            for _ in range(ROUNDS):
                results[job] = PIPELINES[pipeline](edin)
        except Exception as e:      # reported by the caller
            errors.append((job, e))

    threads = [threading.Thread(target=work, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


@pytest.mark.parametrize("jobs", [
    [("halvane", "a"), ("uom", "b")],
    [("uom", "a"), ("halvane", "b")],
    [("halvane", "a"), ("halvane", "b")],
    [("uom", "a"), ("uom", "b")],
], ids=["halvane+uom", "uom+halvane", "halvane+halvane", "uom+uom"])
def test_concurrent_pipelines_match_serial_calls(serial, jobs):
    results = run_together(jobs)
    for job in jobs:
        for k, (got, expected) in enumerate(zip(results[job], serial[job])):
            try:
                pdt.assert_frame_equal(got, expected, check_exact=True)
            except AssertionError as err:
                raise AssertionError(f"{job}, table {k}: {err}") from None

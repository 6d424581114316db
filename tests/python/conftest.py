import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zelt

# The directory of the module under test and of its reference files, taken
# once at start-up (some tests point zelt.__file__ elsewhere for a while).
ZELT_FILE = zelt.__file__
ZELT_DIR = os.path.dirname(os.path.abspath(ZELT_FILE))


@pytest.fixture(autouse=True)
def _restore_module_file():
    yield
    zelt.__file__ = ZELT_FILE


@pytest.fixture
def ref_dir(tmp_path):
    """A private copy of the module's reference files; zelt.__file__ points
    into it for the duration of the test."""
    for name in ("screening_table.csv", "screening_table_2019.csv"):
        shutil.copyfile(os.path.join(ZELT_DIR, name), tmp_path / name)
    zelt.__file__ = str(tmp_path / os.path.basename(ZELT_FILE))
    yield tmp_path
    zelt.__file__ = ZELT_FILE


def _run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = ZELT_DIR + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter that finds the module under test."""
    return _run_python

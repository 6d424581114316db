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


# ----------------------------------------------------------- forecasting

import types  # noqa: E402

import quon  # noqa: E402

QUON_FILE = quon.__file__
REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLAY_SUBDIR = os.path.join("DataFiles", "Marcellus Shale")


def load_script(name, path):
    """A script of the project (tools/, examples/) as a module, without
    running its command-line entry point."""
    module = types.ModuleType(name)
    module.__file__ = path
    with open(path) as f:
        code = compile(f.read(), path, "exec")
    exec(code, module.__dict__)
    return module


def _demo_play_tool():
    return load_script("make_demo_play", os.path.join(REPO_DIR, "tools", "make_demo_play.py"))


@pytest.fixture(autouse=True)
def _restore_quon_file():
    yield
    quon.__file__ = QUON_FILE


@pytest.fixture(scope="session")
def small_play(tmp_path_factory):
    """A small synthetic play written once per session: the folder that holds
    DataFiles/Marcellus Shale."""
    root = tmp_path_factory.mktemp("play")
    _demo_play_tool().write_play(str(root), wells=240, trees=25, quiet=True)
    return root


@pytest.fixture
def play_root(small_play):
    """quon.__file__ points into the session's play for the test."""
    quon.__file__ = str(small_play / os.path.basename(QUON_FILE))
    return small_play


@pytest.fixture
def own_play(small_play, tmp_path):
    """A private copy of the play that the test may damage, without its
    manifest (which would refuse the damaged files); quon.__file__ points
    into it."""
    shutil.copytree(small_play / "DataFiles", tmp_path / "DataFiles")
    os.remove(tmp_path / PLAY_SUBDIR / quon.manifestFile)
    quon.__file__ = str(tmp_path / os.path.basename(QUON_FILE))
    return tmp_path


@pytest.fixture
def own_play_with_manifest(small_play, tmp_path):
    """A private copy of the whole play, manifest included."""
    shutil.copytree(small_play / "DataFiles", tmp_path / "DataFiles")
    quon.__file__ = str(tmp_path / os.path.basename(QUON_FILE))
    return tmp_path


@pytest.fixture(scope="session")
def demo_play_tool():
    """tools/make_demo_play.py as a module: its synthetic wells and writer."""
    return _demo_play_tool()

"""Running the example scripts as a user does: a fresh interpreter, the
module under test on its path."""
import os
import struct
import subprocess
import sys

import zelt
from conftest import load_script

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples")
SAMPLE = os.path.join(ROOT, "data", "sample_reservoirs.csv")
MODULE_DIR = os.path.dirname(os.path.abspath(zelt.__file__))


def example_env(**extra):
    """The environment a script runs in: the module under test first on the
    path, matplotlib drawing to files."""
    env = dict(os.environ)
    env["PYTHONPATH"] = MODULE_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env["MPLBACKEND"] = "Agg"
    env.update(extra)
    return env


def run_example(script, args, cwd):
    """Runs an example with this interpreter, the module under test on its
    path and warnings turned into errors, as in the test suite itself."""
    proc = subprocess.run([sys.executable, "-W", "error", os.path.join(EXAMPLES, script)] + args,
                          cwd=cwd, env=example_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def load_example(name):
    return load_script(name, os.path.join(EXAMPLES, name + ".py"))

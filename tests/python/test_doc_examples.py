"""Every Python example of README.md and docs/*.md runs, and shows the output
it prints."""
import glob
import os

import pandas as pd
import pytest

import quon
import zelt
from conftest import REPO_DIR, load_script

doc_examples = load_script("doc_examples", os.path.join(REPO_DIR, "tools", "doc_examples.py"))

PAGES = [os.path.join(REPO_DIR, "README.md")] + sorted(glob.glob(os.path.join(REPO_DIR, "docs", "*.md")))
MODULE_DIR = os.path.dirname(os.path.abspath(zelt.__file__))
PLAY = os.path.join(os.path.dirname(os.path.abspath(quon.__file__)), "DataFiles", quon.playDesignationDir)
# The pages' outputs were taken on Debian 12's pandas; another pandas may lay
# a table out differently, so there the examples must run but their printed
# text is not compared.
COMPARE = pd.__version__.startswith("1.")


def test_the_page_parser_pairs_examples_with_their_outputs():
    page = "\n".join(["text", "```python", "print(1)", "```", "", "```", "1", "```",
                      "```sh", "make demo", "```", "```python", "x = 2", "```", "more", "```", "2", "```"])
    pairs = doc_examples.examples(page)
    assert [code for code, _ in pairs] == ["print(1)", "x = 2"]
    assert pairs[0][1][2] == "1" and pairs[1][1] is None     # text between: not an output


def test_refresh_rewrites_only_the_outputs(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("# t\n```python\nprint('a\\nb')\n```\n\n```\nstale\n```\ntail\n")
    runs = doc_examples.run_page(str(page), MODULE_DIR)
    assert runs[0][2] == {"ok": True, "out": "a\nb\n"}
    doc_examples.refresh(str(page), runs)
    assert page.read_text() == "# t\n```python\nprint('a\\nb')\n```\n\n```\na\nb\n```\ntail\n"


@pytest.mark.slow
@pytest.mark.parametrize("page", PAGES, ids=lambda p: os.path.relpath(p, REPO_DIR))
def test_page_examples(page):
    with open(page, encoding="utf-8") as f:
        text = f.read()
    if "import quon" in text and not os.path.isdir(PLAY):
        pytest.skip(f"no demo play beside the module ({PLAY})")
    runs = doc_examples.run_page(page, MODULE_DIR)
    for code, out, res in runs:
        assert res["ok"], f"{os.path.basename(page)}: the example\n{code}\nfailed:\n{res['error']}"
        if COMPARE and out is not None:
            assert doc_examples.shown(res["out"]) == doc_examples.shown(out[2]), \
                f"{os.path.basename(page)}, line {out[0] + 1}: the shown output is stale"

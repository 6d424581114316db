"""Runs the Python examples of README.md and docs/*.md, and keeps the output
shown under each one true.

An example is a fenced block marked `python`; the plain fenced block right
after it (blank lines between allowed) is its output. The examples of one
page run in order in one namespace, in a fresh interpreter started in the
repository's root with the built modules on the path, as a reader would run
them, with FutureWarning and DeprecationWarning turned into errors.

    /usr/bin/python3 tools/doc_examples.py README.md docs/screening.md          # check
    /usr/bin/python3 tools/doc_examples.py --refresh README.md docs/*.md        # rewrite outputs

Checking prints each example whose output differs from what the page shows
and exits with status 1; --refresh writes the outputs into the pages.
"""
import argparse
import json
import os
import re
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FENCE = re.compile(r"^```(\w*)\s*$")


def blocks(text):
    """The fenced blocks of a page: (language, first line, last line, body),
    lines counted from 0, first and last being the fences themselves."""
    lines = text.split("\n")
    found, start, lang = [], None, None
    for i, line in enumerate(lines):
        m = FENCE.match(line)
        if not m:
            continue
        if start is None:
            start, lang = i, m.group(1)
        else:
            found.append((lang, start, i, "\n".join(lines[start + 1:i])))
            start = None
    return found


def examples(text):
    """(code, output block or None) per python example, in page order; the
    output block is (first line, last line, body)."""
    found = blocks(text)
    lines = text.split("\n")
    pairs = []
    for k, (lang, _, end, body) in enumerate(found):
        if lang != "python":
            continue
        out = None
        if k + 1 < len(found):
            nlang, nstart, nend, nbody = found[k + 1]
            between = lines[end + 1:nstart]
            if nlang == "" and all(not s.strip() for s in between):
                out = (nstart, nend, nbody)
        pairs.append((body, out))
    return pairs


RUNNER = r"""
import contextlib, io, json, sys, traceback, warnings
warnings.simplefilter("error", FutureWarning)
warnings.simplefilter("error", DeprecationWarning)
codes = json.loads(sys.stdin.read())
namespace = {"__name__": "__main__"}
results = []
for code in codes:
    buf = io.StringIO()
    try:
        with contextlib.redirect_stdout(buf):
            exec(compile(code, "<example>", "exec"), namespace)
        results.append({"ok": True, "out": buf.getvalue()})
    except BaseException:
        results.append({"ok": False, "out": buf.getvalue(), "error": traceback.format_exc()})
        break
sys.__stdout__.write(json.dumps(results))
"""


def run_page(path, module_dir=None, python=sys.executable, timeout=600):
    """Runs a page's examples; returns [(code, output block, result)] where a
    result holds "ok", "out" and, for the example that failed, "error"."""
    with open(path, encoding="utf-8") as f:
        pairs = examples(f.read())
    if not pairs:
        return []
    env = dict(os.environ, MPLBACKEND="Agg")
    module_dir = module_dir or os.path.join(REPO, "build")
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([python, "-c", RUNNER], input=json.dumps([c for c, _ in pairs]), cwd=REPO,
                          env=env, capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"{path}: the examples' interpreter failed: {proc.stderr.strip()}")
    results = json.loads(proc.stdout)
    return [(code, out, res) for (code, out), res in zip(pairs, results)]


def shown(text):
    """An output as compared: trailing blanks of each line and blank lines at
    either end do not count."""
    return "\n".join(line.rstrip() for line in text.strip("\n").split("\n")).strip("\n")


def refresh(path, runs):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    # from the end, so that earlier line numbers stay valid
    for _, out, res in reversed(runs):
        if out is None or not res["ok"]:
            continue
        start, end, _ = out
        lines[start + 1:end] = shown(res["out"]).split("\n")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Runs the Python examples of the project's pages and "
                                     "checks (or, with --refresh, rewrites) the output each one shows.")
    parser.add_argument("pages", nargs="+", help="Markdown pages, e.g. README.md docs/*.md")
    parser.add_argument("--refresh", action="store_true", help="write the outputs into the pages")
    parser.add_argument("--modules", help="folder of the built modules (default: build/)")
    args = parser.parse_args(argv)
    status = 0
    for page in args.pages:
        runs = run_page(page, args.modules)
        for code, out, res in runs:
            if not res["ok"]:
                print(f"{page}: example failed:\n{code}\n{res['error']}")
                status = 1
            elif out is not None and shown(out[2]) != shown(res["out"]) and not args.refresh:
                print(f"{page}, line {out[0] + 1}: the output differs; it is now:\n{shown(res['out'])}\n")
                status = 1
        if args.refresh:
            refresh(page, runs)
        print(f"{page}: {len(runs)} examples run")
    return status


if __name__ == "__main__":
    sys.exit(main())

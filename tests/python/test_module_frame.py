"""What the module holds after import, its function signatures, get_filepath
and the once-per-process initialisation guard."""
import inspect
import subprocess
import sys
import textwrap
import math
import os

import numpy
import pandas
import pytest

import zelt
from reference_pipeline import nan_row

CONSTANTS = [
    ("slope_viscosity", (math.log10(1000.0) - math.log10(0.1)) / -30.0, -0.13333333333333333),
    ("intercept_viscosity",
     math.log10(1000.0) - ((math.log10(1000.0) - math.log10(0.1)) / -30.0) * 20.0,
     5.666666666666666),
    ("slope_rs", (math.log10(1000.0) - math.log10(20.0)) / 32.0, 0.053092812635500586),
    ("intercept_rs",
     math.log10(1000.0) - ((math.log10(1000.0) - math.log10(20.0)) / 32.0) * 42.0,
     0.7701018693089754),
    ("kv_kh_ratio", 0.1, 0.1),
    ("slope_salinity", (math.log10(100000.0) - math.log10(5000.0)) / 15000.0,
     8.673533304426541e-05),
    ("intercept_salinity", math.log10(5000.0), 3.6989700043360187),
]

SIGNATURES = {
    "get_filepath": ["filename"],
    "get_field_data": ["idx", "row"],
    "get_mmp": ["idx", "row", "field_data"],
    "mmp": ["api", "temp", "injected_gas"],
    "oil_solubility_parameter": ["mw", "temp"],
    "gas_solubility_parameter": ["comp", "rho_p1", "rhoc", "pc"],
    "desity_calc": ["p", "t", "pc", "tc", "mw", "wi"],
    "cubic_equation_solution": ["a1", "a2", "a3"],
    "get_diff": ["idx", "field_data", "reservoir_mmps", "screening_table", "zelt_methods",
                 "screening_params"],
    "get_min_max": ["diffs", "screening_params"],
    "get_screening_param_score": ["diffs", "min_max_diff", "zelt_methods", "screening_params"],
    "get_zelt_score": ["edin_df", "screening_param_scores", "screening_table", "zelt_methods",
                       "screening_params"],
    "halvane_zelt": ["edin_df"],
    "fix_screening_table_for_spotfire": ["screening_table_df"],
    "get_field_data_2019": ["idx", "row"],
    "get_zelt_score_2019": ["edin_df", "screening_param_scores", "screening_table",
                            "zelt_methods_2019", "screening_params_2019"],
    "p_value": ["param", "lower", "min_val", "max_val", "upper"],
    "uom_zelt": ["edin_df"],
    "fix_screening_table_2019_for_spotfire": ["screening_table_2019_df"],
    "explain_halvane_zelt": ["edin_df"],
    "explain_uom_zelt": ["edin_df"],
    "summary_halvane_zelt": ["edin_df"],
    "summary_uom_zelt": ["edin_df"],
}


def test_docstring():
    assert zelt.__doc__ == "\nZELT script modified to run in Spotfire\n"


def test_public_names_in_binding_order():
    names = [k for k in vars(zelt) if not k.startswith("_")]
    assert names == (["np", "pd", "math", "os"] + [c[0] for c in CONSTANTS] + ["InputWarning"] + list(SIGNATURES)
                     + ["rank_by_analogs", "evaluate_analogs"])


def test_imported_modules_are_bound():
    assert zelt.np is numpy and zelt.pd is pandas and zelt.math is math and zelt.os is os


@pytest.mark.parametrize("name, expression, literal", CONSTANTS, ids=[c[0] for c in CONSTANTS])
def test_constants_to_the_last_bit(name, expression, literal):
    value = getattr(zelt, name)
    assert type(value) is float
    assert value.hex() == expression.hex() == literal.hex()


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature(name):
    params = list(inspect.signature(getattr(zelt, name)).parameters.values())
    assert [p.name for p in params] == SIGNATURES[name]
    kind = (inspect.Parameter.POSITIONAL_ONLY if len(params) == 1
            else inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert all(p.kind == kind and p.default is inspect.Parameter.empty for p in params)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_wrong_argument_count_is_a_type_error(name):
    func = getattr(zelt, name)
    n = len(SIGNATURES[name])
    with pytest.raises(TypeError):
        func()
    with pytest.raises(TypeError):
        func(*([None] * (n + 1)))
    if n > 1:
        with pytest.raises(TypeError):
            func(*([None] * (n - 1)))


@pytest.mark.parametrize("name", [k for k, v in SIGNATURES.items() if len(v) == 1])
def test_one_argument_functions_refuse_keywords(name):
    with pytest.raises(TypeError):
        getattr(zelt, name)(**{SIGNATURES[name][0]: None})


def test_keyword_calls_match_positional_calls():
    assert zelt.mmp(injected_gas="co2", temp=150.0, api=30.0) == zelt.mmp(30.0, 150.0, "co2")
    assert (zelt.desity_calc(wi=0.225, mw=44.01, tc=547.54, pc=1069.865, t=659.67, p=3000.0)
            == zelt.desity_calc(3000.0, 659.67, 1069.865, 547.54, 44.01, 0.225))
    assert zelt.p_value(upper=100.0, max_val=40.0, min_val=10.0, lower=5.0, param=7.5) == 0.0
    assert zelt.cubic_equation_solution(a3=-1.0, a2=0.0, a1=0.0) == 1.0
    assert zelt.oil_solubility_parameter(temp=100.0, mw=300.0) == 9.414
    assert zelt.gas_solubility_parameter(pc=[], rhoc=[], rho_p1=[], comp=[]) == 0.0
    row = nan_row()
    fd = zelt.get_field_data(row=row, idx=0)
    assert _same_nan_dict(fd, zelt.get_field_data(0, row))
    assert list(zelt.get_mmp(field_data=fd, row=row, idx=0)) == [
        "Reservoir_ID", "mmp_co2", "mmp_hc", "mmp_n2"]
    assert list(zelt.get_field_data_2019(row=row, idx=0))[0] == "Reservoir_ID"
    diffs = [{"Oil Gravity": {"ASP": 1.0}}]
    assert zelt.get_min_max(screening_params=["Oil Gravity"], diffs=diffs) == {
        "Oil Gravity": {"Min": 1.0, "Max": 1.0}}


def _same_nan_dict(a, b):
    return list(a) == list(b) and all(
        x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y))
        for x, y in zip(a.values(), b.values()))


def test_documentation_strings():
    mmp_doc = zelt.mmp.__doc__.strip().splitlines()
    assert mmp_doc[0] == "SPE 97650 - Lange\u2019s Correlation"
    assert len(mmp_doc) == 2 and "355" in mmp_doc[1] and "320" in mmp_doc[1]
    cubic_doc = zelt.cubic_equation_solution.__doc__.strip()
    assert cubic_doc.startswith("SOLVE Cubic Equation") and "369" in cubic_doc


def test_get_filepath_joins_to_module_directory():
    expected = os.path.join(os.path.dirname(zelt.__file__), "screening_table.csv")
    assert zelt.get_filepath("screening_table.csv") == expected
    assert os.path.isfile(expected)


def test_get_filepath_reads_module_file_on_each_call(tmp_path):
    zelt.__file__ = str(tmp_path / "sub" / "zelt.so")
    assert zelt.get_filepath("x.csv") == os.path.join(str(tmp_path / "sub"), "x.csv")
    zelt.__file__ = "zelt.so"
    assert zelt.get_filepath("x.csv") == "x.csv"


# ------------------------------------------------------------ initialisation guard
# Each runs in its own interpreter so that it cannot disturb this session.

# A call that only works on an initialised module, per module.
WORKS = {
    "zelt": 'assert mod.p_value(7.5, 5.0, 10.0, 40.0, 100.0) == 0.0',
    "quon": 'assert mod.CHistoryMatch().GetRateList([0], 5.0, 0.1, 1.3)[0] == 5.0',
}


@pytest.mark.parametrize("name", sorted(WORKS))
def test_import_again_gives_the_same_module(run_python, name):
    result = run_python(f"""
        import importlib, sys
        import {name} as mod
        first = mod
        first.marker = 42
        del sys.modules["{name}"]
        import {name} as second
        assert second is first, "a second module object"
        assert second.marker == 42
        assert importlib.reload(second) is first
        assert first.marker == 42
        {WORKS[name]}
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_constants_survive_reimport(run_python):
    result = run_python("""
        import sys
        import zelt
        del sys.modules["zelt"]
        import zelt
        assert zelt.slope_rs == 0.053092812635500586
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("name", sorted(WORKS))
def test_initialisation_on_another_module_object_fails(run_python, name):
    result = run_python(f"""
        import ctypes, types
        import {name} as mod
        get_def = ctypes.pythonapi.PyModule_GetDef
        get_def.restype = ctypes.c_void_p
        get_def.argtypes = [ctypes.py_object]
        d = get_def(mod)
        assert d, "no module definition (single-phase initialisation?)"
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.restype = ctypes.c_int
        try:
            exec_def(ctypes.py_object(types.ModuleType("{name}")), ctypes.c_void_p(d))
        except RuntimeError as e:
            print("RuntimeError:", e)
        else:
            print("no error")
        {WORKS[name]}
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        f"RuntimeError: Module '{name}' has already been imported. "
        "Re-initialisation is not supported.")


# The kinds of sub-interpreter this Python can make: up to 3.12 one kind
# (sharing the GIL); from 3.13 on "isolated" (its own GIL, extensions
# checked: the default) and "legacy" (as before).
SUB_INTERPRETERS = ["isolated", "legacy"] if sys.version_info >= (3, 13) else ["default"]


def _sub_interpreter_import(name, kind):
    """Code that imports `name` in a new sub-interpreter of `kind` and prints
    what the import raised ("<type> | <message>") or "imported". numpy
    carries an import guard of its own: stand-ins for it and pandas make sure
    that a refusal comes from the module itself."""
    return textwrap.dedent(f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        kind = {kind!r}
        interp = interpreters.create() if kind == "default" else interpreters.create(kind)
        code = ("import sys, types; "
                "sys.modules['numpy'] = types.ModuleType('numpy'); "
                "sys.modules['pandas'] = types.ModuleType('pandas'); "
                "import {name}")
        try:
            failed = interpreters.run_string(interp, code)
        except interpreters.RunFailedError as e:
            # Up to 3.12 the failure is raised here, as "<class 'T'>: <message>".
            kind_of_error, _, message = str(e).partition(": ")
            print(kind_of_error.split("'")[1].rsplit(".", 1)[-1], "|", message)
        else:
            # From 3.13 on it is handed back, a description of the exception.
            if failed is None:
                print("imported")
            else:
                print(failed.type.__name__, "|", failed.msg)
        interpreters.destroy(interp)
    """)


def _refusal(name, kind):
    """The message a sub-interpreter's import of `name` fails with: a
    checking sub-interpreter refuses the module by its definition, the
    others meet the module's own guard."""
    if kind == "isolated":
        return f"module {name} does not support loading in subinterpreters"
    return None


def _run(code, timeout):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(zelt.__file__) + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("kind", SUB_INTERPRETERS)
@pytest.mark.parametrize("name", sorted(WORKS))
def test_import_in_a_second_interpreter_fails(name, kind):
    result = _run(f"import {name} as mod\n" + _sub_interpreter_import(name, kind) + WORKS[name], 300)
    assert result.returncode == 0, result.stderr
    out = result.stdout.strip()
    assert out.startswith("ImportError | "), out
    assert (_refusal(name, kind) or "Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in out


@pytest.mark.parametrize("kind", SUB_INTERPRETERS)
@pytest.mark.parametrize("name", sorted(WORKS))
def test_first_import_in_a_sub_interpreter_is_refused_not_hung(name, kind):
    # Once pybind11 waited here forever for a lock the sub-interpreter holds;
    # a time limit turns such a hang into a failure.
    result = _run(_sub_interpreter_import(name, kind) +
                  f"import {name} as mod\n{WORKS[name]}\nprint('main interpreter: ok')\n", 60)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.strip().splitlines()
    assert first.startswith("ImportError | "), first
    assert (_refusal(name, kind) or
            f"module '{name}' cannot be imported in a sub-interpreter: it can only be loaded "
            "into the main interpreter of a process") in first
    assert second == "main interpreter: ok"

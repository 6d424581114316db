"""An interpreter without the modules' packages (the wrong `python3`) is told
which interpreter the modules were built for."""
import sys

import pytest

BLOCK = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == {package!r}:
            raise ModuleNotFoundError("No module named " + repr(name))
sys.meta_path.insert(0, Block())
try:
    import {module}
except ModuleNotFoundError as e:
    print(type(e.__cause__).__name__, "|", e)
"""


@pytest.mark.parametrize("module, package", [("zelt", "numpy"), ("zelt", "pandas"), ("quon", "scipy")])
def test_missing_package_names_the_interpreters(run_python, module, package):
    proc = run_python(BLOCK.format(module=module, package=package))
    assert proc.returncode == 0, proc.stderr
    cause, message = proc.stdout.strip().split(" | ")
    assert cause == "ModuleNotFoundError"
    assert message.startswith(f"{module} needs the package '{package}")
    assert f"which this interpreter ({sys.executable}) cannot import" in message
    assert "The module was built for " in message and "run your script with that interpreter" in message

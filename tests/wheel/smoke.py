"""Smoke test of the installed wheel, run by the venv's interpreter from a
folder outside the source tree: the modules import under their own names
from site-packages, find their reference files beside themselves, screen
the sample table and construct the forecasting driver.

    smoke.py SAMPLE_CSV VERSION_FILE
"""
import importlib.metadata
import os
import site
import sys

import pandas as pd


def main(sample, version_file):
    import quon
    import zelt

    with open(version_file) as f:
        version = f.read().strip()
    assert importlib.metadata.version("zelt-quon") == version
    requires = importlib.metadata.requires("zelt-quon")
    for package in ("pandas", "numpy", "scipy", "xgboost", "scikit-learn", "xlsxwriter", "openpyxl"):
        assert any(r.replace(" ", "").replace("(", "").startswith(package + ">=") for r in requires), \
            (package, requires)
    site_dirs = [os.path.realpath(d) for d in site.getsitepackages()]
    for module in (zelt, quon):
        folder = os.path.dirname(os.path.realpath(module.__file__))
        assert os.path.basename(folder) == "zelt_quon", module.__file__
        assert os.path.dirname(folder) in site_dirs, (module.__file__, site_dirs)
        assert module.__version__ == version, (module.__name__, module.__version__, version)
    folder = os.path.dirname(zelt.__file__)
    for name in ("screening_table.csv", "screening_table_2019.csv"):
        assert zelt.get_filepath(name) == os.path.join(folder, name)
        assert os.path.isfile(zelt.get_filepath(name)), name

    table = pd.read_csv(sample)
    scores, limits, field_data, window = zelt.halvane_zelt(table.copy())
    assert len(scores) == 15 * len(table) and len(limits) == 330
    scores_2019, limits_2019, p_values, field_2019 = zelt.uom_zelt(table.copy())
    assert len(scores_2019) == 12 * len(table) and len(limits_2019) == 384

    driver = quon.CMainDravex()
    assert driver.m_sliderVar[quon.strWellLen] == 3000
    driver.Process()   # no play ships with the wheel: nothing to load
    assert driver.m_modelDict == {}
    print(f"wheel smoke test passed: zelt and quon {version} from {folder}")


if __name__ == "__main__":
    main(*sys.argv[1:])

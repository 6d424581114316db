"""Builds the wheel of the two extension modules through the project's own
CMake build.

The wheel installs into site-packages:

    zelt_quon.pth          one line, "zelt_quon": puts that folder on sys.path
    zelt_quon/zelt.cpython-*.so, zelt_quon/quon.cpython-*.so
    zelt_quon/screening_table.csv, zelt_quon/screening_table_2019.csv

so that `import zelt` and `import quon` work under those names and each
module finds its data beside its own file, as it does in the build folder.
The demonstration play (synthetic wells) is not part of the wheel: a host
names its own play folder, CMainDravex(playDir=...) (docs/forecast-plays.md).

The version is the one of the file VERSION, which CMake also compiles into
both modules as __version__.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
FOLDER = "zelt_quon"
MODULES = ("zelt", "quon")
DATA = ("screening_table.csv", "screening_table_2019.csv")


def version():
    with open(os.path.join(HERE, "VERSION")) as f:
        return f.read().strip()


class CMakeExtension(Extension):
    """An extension module that CMake builds; setuptools only places it."""

    def __init__(self, name):
        super().__init__(f"{FOLDER}.{name}", sources=[])
        self.target = name


class CMakeBuild(build_ext):
    def run(self):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        jobs = os.environ.get("JOBS", "2")
        subprocess.check_call([
            "cmake", "-S", HERE, "-B", build_dir,
            f"-DPYTHON_EXECUTABLE={sys.executable}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DZELT_BUILD_TESTS=OFF", "-DZELT_BUILD_BENCH=OFF",
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "-j", jobs,
                               "--target", *MODULES, "zelt_data"])
        for ext in self.extensions:
            target = self.get_ext_fullpath(ext.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(os.path.join(build_dir, os.path.basename(target)), target)
        out = os.path.join(os.path.abspath(self.build_lib), FOLDER)
        for name in DATA:
            shutil.copyfile(os.path.join(build_dir, name), os.path.join(out, name))
        with open(os.path.join(os.path.abspath(self.build_lib), f"{FOLDER}.pth"), "w") as f:
            f.write(f"{FOLDER}\n")


# setuptools' own build folders, kept apart from CMake's build/.
BUILD_BASE = os.path.join(HERE, "build-wheel")
os.makedirs(BUILD_BASE, exist_ok=True)

setup(
    version=version(),
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
    ext_modules=[CMakeExtension(name) for name in MODULES],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)

"""Builds zek's extension module from the engine's own C++ sources.

The sources live outside this folder (in ../src); pip builds a local folder
where it lies, so the relative paths below reach them. Every C++ source and
library of the extension is listed here, in one place.
"""
import re
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

ENGINE = sorted(f"../src/agc/{p.name}" for p in (ROOT / "src/agc").glob("*.cpp"))
# zek's own file handling, for zek.process_file: everything of the tool but
# its entry point and zek-report.
TOOL = sorted(
    f"../src/agc/zek/{p.name}"
    for p in (ROOT / "src/agc/zek").glob("*.cpp")
    if p.name != "main.cpp" and not p.name.startswith("report_")
)
BINDINGS = ["src/bindings.cpp", "src/level.cpp"]
HEADERS = sorted(f"../src/{p.relative_to(ROOT / 'src')}" for p in (ROOT / "src/agc").glob("**/*.[hi]*")) + ["src/level.h"]


def project_version():
    """The version in CMakeLists.txt's project(), the one source of it."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(zek VERSION (\S+)", text).group(1)


extension = Pybind11Extension(
    "zek._zek",
    ENGINE + TOOL + BINDINGS,
    include_dirs=["../src", "../src/agc"],
    libraries=["sndfile"],  # audio files, read and written by libsndfile (Debian: libsndfile1-dev)
    depends=HEADERS,  # setuptools rebuilds when any of these changes
    cxx_std=20,
    # -O3 as the CMake build: the engine's vector kernels are written for it.
    # Nothing reads the floating-point exception flags, and without them GCC
    # vectorises the float conversions.
    extra_compile_args=["-O3", "-fno-trapping-math"],
)

setup(version=project_version(), ext_modules=[extension])

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
# zek.process_file runs the zek tool in process: the recordings layer and the
# tool's library, all but its entry point.
TOOL = sorted(f"../src/audio/{p.name}" for p in (ROOT / "src/audio").glob("*.cpp")) + sorted(
    f"../src/zek/{p.name}" for p in (ROOT / "src/zek").glob("*.cpp") if p.name != "main.cpp"
)
BINDINGS = ["src/bindings.cpp", "src/level.cpp"]
HEADERS = sorted(
    f"../src/{p.relative_to(ROOT / 'src')}" for room in ("agc", "audio", "zek") for p in (ROOT / "src" / room).glob("*.[hi]*")
) + ["src/level.h"]


def project_version():
    """The version in CMakeLists.txt's project(), the one source of it."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(zek VERSION (\S+)", text).group(1)


extension = Pybind11Extension(
    "zek._zek",
    ENGINE + TOOL + BINDINGS,
    include_dirs=["../src"],
    # Audio files, read and written by libsndfile (Debian: libsndfile1-dev);
    # the SHA-256 of level_files' outputs by nettle (nettle-dev). The records'
    # JSON is nlohmann/json's, a header (nlohmann-json3-dev).
    libraries=["sndfile", "nettle"],
    depends=HEADERS,  # setuptools rebuilds when any of these changes
    cxx_std=20,
    # -O3 as the CMake build: the engine's vector kernels are written for it.
    # Nothing reads the floating-point exception flags, and without them GCC
    # vectorises the float conversions.
    extra_compile_args=["-O3", "-fno-trapping-math"],
)

setup(version=project_version(), ext_modules=[extension])

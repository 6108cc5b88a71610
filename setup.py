"""Builds the Python package veltrane with the project's CMake, for the interpreter that runs
pip: the extension veltrane._core (target veltrane_python) and the package's Python files.
The version is CMakeLists.txt's project() version, which the build also writes into
veltrane/_version.py. The CMake build lives under build/setuptools/ and is kept, so a second
build only compiles what changed."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9.]+)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError("CMakeLists.txt holds no project(... VERSION x.y.z)")
    return match.group(1)


class CMakeExtension(Extension):
    """An extension that a CMake target builds (the sources are CMake's)."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    """Configures and builds the CMake target, then assembles the package in build_lib."""

    def build_extension(self, ext):
        build = Path(self.build_temp).resolve()
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVT_BUILD_TESTS=OFF",
            "-DVT_BUILD_TOOLS=OFF",
            "-DVT_BUILD_PYTHON=ON",
            "-DPython_EXECUTABLE=" + sys.executable,
        ]
        if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        command = ["cmake", "--build", str(build), "--target", ext.target]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            command += ["--parallel", str(os.cpu_count() or 1)]
        subprocess.run(command, check=True)

        built = build / "python" / "veltrane"
        extension = Path(self.get_ext_fullpath(ext.name))
        package = extension.parent
        shutil.rmtree(package, ignore_errors=True)
        package.mkdir(parents=True)
        shutil.copy2(built / extension.name, extension)
        shutil.copy2(built / "_version.py", package)
        source = ROOT / "python" / "veltrane"
        for path in [*source.glob("*.py"), *source.glob("*.pyi"), source / "py.typed"]:
            shutil.copy2(path, package)


build_base = ROOT / "build" / "setuptools"
build_base.mkdir(parents=True, exist_ok=True)
setup(
    version=project_version(),
    packages=[],
    ext_modules=[CMakeExtension("veltrane._core", "veltrane_python")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(build_base)}, "egg_info": {"egg_base": str(build_base)}},
    zip_safe=False,
)

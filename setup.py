"""Builds the pyqrx wheel: the extension pyqrx._pyqrx comes from the project's
CMake build (Release, without tests or benchmarks); the pure-Python package,
its type stub and typed marker go beside it."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
            "-DQRX_BUILD_TESTS=OFF", "-DQRX_BUILD_BENCH=OFF", "-DQRX_BUILD_PYTHON=ON",
            "-DPython_EXECUTABLE=" + sys.executable])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "pyqrx",
                               "-j", str(os.cpu_count() or 1)])
        built = os.path.join(build_dir, "python", "pyqrx")
        target = os.path.dirname(self.get_ext_fullpath(ext.name))
        os.makedirs(target, exist_ok=True)
        shutil.copy(os.path.join(built, os.path.basename(self.get_ext_fullpath(ext.name))),
                    target)
        for name in ("__init__.pyi", "py.typed"):
            shutil.copy(os.path.join(built, name), target)


setup(
    ext_modules=[Extension("pyqrx._pyqrx", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Its own build folder: build/ is the CMake tree of the README.
    options={"build": {"build_base": "build-wheel"}},
)

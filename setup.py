"""Builds the extension module through CMake into one abi3 wheel."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release", "-DTVIS_BUILD_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "trova_insole_sdk_python"])
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / "trova_insole_sdk.abi3.so", target)
        # The type stub travels beside the module.
        shutil.copyfile(ROOT / "python" / "trova_insole_sdk.pyi", target.parent / "trova_insole_sdk.pyi")


setup(
    ext_modules=[Extension("trova_insole_sdk", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp310"}},
)

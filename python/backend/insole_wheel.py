"""Builds the wheel: the abi3 extension module, its type stubs, the pure-Python
companion package and the `insole` tool, compiled through CMake.

This is the project's own build backend. It needs nothing beyond the standard
library, so `pip install .` works offline and in a fresh venv (build isolation
installs no build requirements, because there are none); only CMake, Ninja and
a C++ compiler must be on the machine.
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
NAME = "trova_insole_sdk"
SUMMARY = "Host-side SDK for a pair of BLE sensor insoles"
# Everything the wheel carries from the source tree, besides the compiled files.
PURE_PACKAGES = ["trova_insole", "trova_insole_sdk-stubs"]


def project_version() -> str:
    """The version has one owner: the project() call in CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*\w+\s+VERSION\s+([0-9][0-9.]*)", text)
    if not match:
        raise RuntimeError("CMakeLists.txt: no project(... VERSION x.y.z) found")
    return match.group(1)


def _tag() -> str:
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp310-abi3-{platform}"


def _metadata(version: str) -> str:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {version}\n"
        f"Summary: {SUMMARY}\n"
        "Requires-Python: >=3.10\n"
        "License: Proprietary\n"
        "Classifier: Programming Language :: C++\n"
        "Classifier: Programming Language :: Python :: 3 :: Only\n"
        "Classifier: Programming Language :: Python :: Implementation :: CPython\n"
        "Description-Content-Type: text/markdown\n"
        "\n" + readme
    )


def _compiler_cache() -> list[str]:
    """ccache in front of the compilers when the machine has it, so a rebuilt
    wheel (a fresh clone, a new venv) compiles only what changed. CMake itself
    takes a launcher the caller sets in the environment; without ccache the
    build compiles everything, as before."""
    if os.environ.get("TVIS_NO_CCACHE") or "CMAKE_CXX_COMPILER_LAUNCHER" in os.environ:
        return []
    if not shutil.which("ccache"):
        return []
    return ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]


def _step(text: str) -> None:
    print(f"insole_wheel: {text}", file=sys.stderr, flush=True)


def _compile(build_dir: Path) -> tuple[Path, Path]:
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=Release", "-DTVIS_BUILD_TESTS=OFF",
        f"-DPython3_EXECUTABLE={sys.executable}",
    ]
    configure += _compiler_cache()
    # A cache hashes paths under the checkout relative to it, so another clone hits.
    env = dict(os.environ)
    env.setdefault("CCACHE_BASEDIR", str(ROOT))
    # pip shows a build's output with -v (or when it fails); keep ours off its
    # stdout. Each step says what it does, so a long build is not a silence.
    _step(f"configuring the build in {build_dir} (CMake, Ninja, Release)")
    subprocess.check_call(configure, stdout=sys.stderr, env=env)
    _step("compiling the module and the insole tool (Ninja prints [done/total] per file)")
    subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "trova_insole_sdk_python", "insole"],
                          stdout=sys.stderr, env=env)
    return build_dir / "python" / f"{NAME}.abi3.so", build_dir / "tools" / "insole"


class _Wheel:
    """A wheel being written, with its RECORD kept as files go in."""

    def __init__(self, path: Path, dist_info: str):
        self.zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self.dist_info = dist_info
        self.record: list[str] = []

    def add(self, arcname: str, data: bytes, executable: bool = False) -> None:
        info = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
        # Regular-file type bits too: installers set the execute bit only then.
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.record.append(f"{arcname},sha256={digest},{len(data)}")

    def close(self) -> None:
        record_name = f"{self.dist_info}/RECORD"
        self.record.append(f"{record_name},,")
        self.zip.writestr(zipfile.ZipInfo(record_name, date_time=(2020, 1, 1, 0, 0, 0)),
                          "\n".join(self.record) + "\n")
        self.zip.close()


def _dist_info_files(version: str) -> dict[str, str]:
    return {
        "METADATA": _metadata(version),
        "WHEEL": f"Wheel-Version: 1.0\nGenerator: insole_wheel\nRoot-Is-Purelib: false\nTag: {_tag()}\n",
        "top_level.txt": "trova_insole\ntrova_insole_sdk\n",
    }


# --- PEP 517 hooks -----------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    version = project_version()
    dist_info = Path(metadata_directory) / f"{NAME}-{version}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    for name, text in _dist_info_files(version).items():
        (dist_info / name).write_text(text, encoding="utf-8")
    return dist_info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = project_version()
    build_dir = Path(os.environ.get("TVIS_WHEEL_BUILD_DIR", ROOT / "build" / "wheel")).resolve()
    module, tool = _compile(build_dir)

    wheel_name = f"{NAME}-{version}-{_tag()}.whl"
    dist_info = f"{NAME}-{version}.dist-info"
    wheel = _Wheel(Path(wheel_directory) / wheel_name, dist_info)
    wheel.add(module.name, module.read_bytes(), executable=True)
    for package in PURE_PACKAGES:
        for source in sorted((ROOT / "python" / package).rglob("*")):
            if source.is_file() and "__pycache__" not in source.parts:
                wheel.add(source.relative_to(ROOT / "python").as_posix(), source.read_bytes())
    # Files under .data/scripts land in the environment's bin folder, so
    # `pip install` puts the tool on PATH.
    wheel.add(f"{NAME}-{version}.data/scripts/insole", tool.read_bytes(), executable=True)
    for name, text in _dist_info_files(version).items():
        wheel.add(f"{dist_info}/{name}", text.encode("utf-8"))
    wheel.close()
    _step(f"packed {wheel_name}: the module, the companion package, the stubs and the insole tool")
    return wheel_name

"""Shared pieces: the protoc-generated reference module `insole_pb2` (the oracle for every frame), and framing."""

import ctypes
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

PROTO = pathlib.Path(__file__).resolve().parents[2] / "proto" / "insole.proto"
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from reference_frames import crc16, frame  # noqa: E402  (re-exported to the tests)
_generated_dir = None


def pytest_configure(config):
    global _generated_dir
    _generated_dir = tempfile.mkdtemp(prefix="insole_ref_")
    subprocess.run(["protoc", f"-I{PROTO.parent}", f"--python_out={_generated_dir}", str(PROTO)], check=True)
    sys.path.insert(0, _generated_dir)


def pytest_unconfigure(config):
    if _generated_dir:
        shutil.rmtree(_generated_dir, ignore_errors=True)


def unframe(data):
    """The payload of one complete frame built by the module, after checking its envelope."""
    n = int.from_bytes(data[6:8], "little")
    assert data[:6] == b"TRVA\x02\x21" and data[8] == 1 and data[10] == 0 and len(data) == 11 + n + 2
    assert int.from_bytes(data[-2:], "little") == crc16(data[:-2])
    return data[11:11 + n]


@pytest.fixture(scope="session")
def sdk():
    return __import__("trova_insole_sdk")


@pytest.fixture(scope="session")
def pb():
    return __import__("insole_pb2")


@pytest.fixture(scope="session")
def logging_on(sdk):  # console logging at Info level through the module's own C face, for the rest of the process
    ctypes.CDLL(sdk.__file__).tvis_initialize_logging(3)


@pytest.fixture
def clean_callbacks(sdk):
    yield
    for register in (sdk.register_ble_write_callback, sdk.register_device_event_callback,
                     sdk.register_dfu_progress_callback):
        register(None)


def unique_id(prefix, _counter=[0]):  # the SDK keeps per-device state for the whole process
    _counter[0] += 1
    return f"{prefix}-{os.getpid()}-{_counter[0]}"

"""Shared pieces of the Python-face tests.

At session start the reference protobuf module is generated from
tests/proto/insole.proto with protoc and put on sys.path (import it as
`insole_pb2`); google.protobuf is the independent oracle for every frame the
module builds or parses. The helpers frame payloads the way an insole does.
"""

import ctypes
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

PROTO = pathlib.Path(__file__).resolve().parents[1] / "proto" / "insole.proto"
_generated_dir = None


def pytest_configure(config):
    global _generated_dir
    config.addinivalue_line("markers", "slow: takes seconds; TVIS_LEAK_ITERATIONS scales the leak check")
    _generated_dir = tempfile.mkdtemp(prefix="insole_ref_")
    subprocess.run(
        ["protoc", f"-I{PROTO.parent}", f"--python_out={_generated_dir}", str(PROTO)],
        check=True,
    )
    sys.path.insert(0, _generated_dir)


def pytest_unconfigure(config):
    if _generated_dir:
        shutil.rmtree(_generated_dir, ignore_errors=True)


# --- framing -----------------------------------------------------------------

def _crc16_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_CRC_TABLE = _crc16_table()


def crc16(data):
    """CRC-16/MODBUS."""
    crc = 0xFFFF
    for b in data:
        crc = (crc >> 8) ^ _CRC_TABLE[(crc ^ b) & 0xFF]
    return crc


def frame(payload, dest=2, bad_crc=False):
    """An insole frame: magic, version 2, type 0x21, length, src 1, dest, reserved 0, payload, CRC."""
    if not isinstance(payload, (bytes, bytearray)):
        payload = payload.SerializeToString()
    head = b"TRVA" + bytes([2, 0x21]) + len(payload).to_bytes(2, "little") + bytes([1, dest, 0])
    crc = crc16(head + payload) ^ (0x0001 if bad_crc else 0)
    return head + bytes(payload) + crc.to_bytes(2, "little")


def unframe(data):
    """The payload of one complete frame built by the module, after checking its envelope."""
    assert data[:4] == b"TRVA" and data[4] == 2 and data[5] == 0x21
    assert data[8] == 1 and data[10] == 0
    n = int.from_bytes(data[6:8], "little")
    assert len(data) == 11 + n + 2
    assert int.from_bytes(data[-2:], "little") == crc16(data[:-2])
    return data[11:11 + n]


# --- fixtures ----------------------------------------------------------------

@pytest.fixture(scope="session")
def sdk():
    import trova_insole_sdk

    return trova_insole_sdk


@pytest.fixture(scope="session")
def pb():
    import insole_pb2

    return insole_pb2


@pytest.fixture(scope="session")
def clib(sdk):
    """The C face of the very library the module runs on."""
    lib = ctypes.CDLL(sdk.__file__)
    lib.tvis_initialize_logging.argtypes = [ctypes.c_int32]
    lib.tvis_did_receive_data.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.tvis_start_dfu.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.tvis_start_dfu.restype = ctypes.c_int32
    lib.tvis_set_ble_write_callback.argtypes = [ctypes.c_void_p]
    lib.tvis_set_device_event_callback.argtypes = [ctypes.c_void_p]
    lib.tvis_start_mock_stream.argtypes = [ctypes.c_char_p]
    return lib


@pytest.fixture(scope="session")
def logging_on(clib):
    """Console logging at Info level; it stays on for the rest of the process."""
    clib.tvis_initialize_logging(3)


@pytest.fixture
def clean_callbacks(sdk):
    yield
    sdk.register_ble_write_callback(None)
    sdk.register_device_event_callback(None)
    sdk.register_dfu_progress_callback(None)


def unique_id(prefix):
    """A device id no other test uses: the SDK keeps per-device state for the whole process."""
    unique_id.counter += 1
    return f"{prefix}-{os.getpid()}-{unique_id.counter}"


unique_id.counter = 0

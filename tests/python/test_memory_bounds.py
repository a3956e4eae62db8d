"""One long block of bytes costs a bounded amount of memory, whatever it holds.

Each case runs in a fresh interpreter and reports its peak resident size
before and after the call, so what the test process holds already does not
count. The limits are far above the queue's budget and far below what a
cost per byte would reach (16 MiB of input at even a few bytes per byte).
"""
import json
import os
import subprocess
import sys

import pytest

LIMIT_MIB = 48  # peak growth allowed for one 16 MiB call

PROGRAM = r"""
import ctypes, json, os, resource, sys
import trova_insole_sdk as sdk
lib = ctypes.CDLL(sdk.__file__)
lib.tvis_did_receive_data.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
kind, how = sys.argv[1], sys.argv[2]
size = 16 << 20
data = bytes(size) if kind == "zeros" else os.urandom(size)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if how == "receive":
    lib.tvis_did_receive_data(b"left", data, len(data))
else:
    parser = sdk.StreamParser()
    texts = parser.push(data)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"growth_kib": after - before}))
"""


@pytest.mark.parametrize("how", ["receive", "push"])
@pytest.mark.parametrize("kind", ["zeros", "random"])
def test_one_long_block_costs_a_bounded_amount(kind, how):
    run = subprocess.run([sys.executable, "-c", PROGRAM, kind, how], capture_output=True, text=True,
                         env=os.environ, timeout=120)
    assert run.returncode == 0, run.stderr
    growth_mib = json.loads(run.stdout.strip().splitlines()[-1])["growth_kib"] / 1024
    assert growth_mib < LIMIT_MIB, f"{how} of 16 MiB of {kind} grew the process by {growth_mib:.0f} MiB"


# Each device id keeps a small state for the life of the process (its parser
# and last sequence number; the header states the cost). 200,000 ids measure
# about 190 bytes each; the limit allows 320.
IDS_PROGRAM = r"""
import ctypes, json, resource
import trova_insole_sdk as sdk
lib = ctypes.CDLL(sdk.__file__)
lib.tvis_did_receive_data.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
ids = [b"AA:BB:CC:%02X:%02X:%02X" % (i >> 16, (i >> 8) & 255, i & 255) for i in range(200000)]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for device in ids:
    lib.tvis_did_receive_data(device, b"\x00\x01\x02", 3)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"growth_kib": after - before}))
"""


def test_many_device_ids_cost_the_stated_bytes_each():
    run = subprocess.run([sys.executable, "-c", IDS_PROGRAM], capture_output=True, text=True,
                         env=os.environ, timeout=120)
    assert run.returncode == 0, run.stderr
    per_id = json.loads(run.stdout.strip().splitlines()[-1])["growth_kib"] * 1024 / 200000
    assert per_id < 320, f"each device id cost {per_id:.0f} bytes"

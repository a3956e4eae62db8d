"""Our snoop logs against an independent dissector (Debian's tshark), both
ways: tshark sees the notifications and writes our writer put in a log, in
order and on the insole's characteristics, and our readers (C++ and Python)
read a log that Wireshark's own tools wrote."""

import os
import pathlib
import random
import struct
import subprocess
import sys
import warnings
from decimal import Decimal

HERE = pathlib.Path(__file__).resolve().parent
# The probes sit together in the build's tests directory, the tool beside it.
BUILD = pathlib.Path(os.environ.get("CAPTURE_PROBE", HERE.parents[1] / "build/release/tests/capture_probe")).parent
PROBE = BUILD / "btsnoop_probe"
INSOLE = BUILD.parent / "tools" / "insole"
TX_UUID = "4de5a20c0002ae21bf630242ac130002"
RX_UUID = "4de5a20c0003ae21bf630242ac130002"

sys.path.insert(0, str(HERE.parents[1] / "python"))


def run(*argv, stdin=None):
    done = subprocess.run([str(a) for a in argv], input=stdin, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


def tshark(path, opcode, *fields):
    out, _ = run("tshark", "-r", path, "-Y", f"btatt.opcode=={opcode}", "-T", "fields",
                 *[arg for f in fields for arg in ("-e", f)])
    return [line.split("\t") for line in out.splitlines()]


def python_read(path):
    from trova_insole import btsnoop

    with open(path, "rb") as stream, warnings.catch_warnings():
        warnings.simplefilter("error")
        return [f"{'n' if p.kind == 'notification' else 'c'} {p.device} {p.connection} {p.unix_time_ns // 1000} "
                f"{p.value.hex()}" for p in btsnoop.read_snoop(stream)]


def test_tshark_sees_what_we_write(tmp_path):
    rng = random.Random(14)
    t0 = 1_700_000_000_000_000_000
    events, notifications, writes = [], [], []
    names = ["AA:BB:CC:00:00:01", "left_insole"]
    devices = {}  # connection handles in the order the devices first appear
    for i in range(80):
        device = rng.choice(names)
        devices.setdefault(device, 0x0040 + len(devices))
        value = bytes(rng.randrange(256) for _ in range(rng.choice([1, 20, 180, 250, 251, 300, 700])))
        when = t0 + i * 7_000_123
        kind = "c" if rng.random() < 0.2 else "n"
        events.append(f"{kind} {device} {when} {value.hex()}")
        # ATT carries at most 512 value bytes: longer data goes as several.
        for at in range(0, len(value), 512):
            (writes if kind == "c" else notifications).append((devices[device], value[at:at + 512].hex(), when // 1000))
    path = tmp_path / "ours.btsnoop"
    run(PROBE, "write", path, stdin="\n".join(events) + "\n")

    seen = tshark(path, "0x1b", "bthci_acl.chandle", "btatt.handle", "btatt.uuid128", "btatt.value", "frame.time_epoch")
    assert [(int(c, 16), v, int(Decimal(t) * 1_000_000)) for c, _, _, v, t in seen] == notifications
    assert {(h, u) for _, h, u, _, _ in seen} == {("0x0012", TX_UUID)}  # found through our discovery
    seen = tshark(path, "0x52", "bthci_acl.chandle", "btatt.handle", "btatt.uuid128", "btatt.value")
    assert [(int(c, 16), v) for c, _, _, v in seen] == [(c, v) for c, v, _ in writes]
    assert {(h, u) for _, h, u, _ in seen} == {("0x0015", RX_UUID)}

    # Our two readers give back the same, in order, with no warning.
    ours, warned = run(PROBE, "read", path)
    assert warned == "" and ours.splitlines() == python_read(path)
    assert [(int(line.split()[2]), line.split()[4]) for line in ours.splitlines() if line[0] == "n"] == \
        [(c, v) for c, v, _ in notifications]


def test_we_read_what_wireshark_writes(tmp_path):
    # Wireshark's own tools write the log: text2pcap makes an HCI H4 capture
    # of hex text, editcap turns it into a btsnoop log. Everything here is
    # received by the phone (text2pcap marks every packet so).
    def hexline(data):
        return "I 0000 " + " ".join(f"{b:02x}" for b in data)

    def acl(boundary, data):
        return bytes([0x02, 0x41, 0x00 | boundary << 4]) + len(data).to_bytes(2, "little") + data

    def l2cap(att):
        return len(att).to_bytes(2, "little") + b"\x04\x00" + att

    def declaration(value_handle, uuid):
        return (value_handle - 1).to_bytes(2, "little") + b"\x10" + value_handle.to_bytes(2, "little") + \
            bytes.fromhex(uuid)[::-1]

    connected = bytes([0x04, 0x3E, 19, 0x01, 0x00, 0x41, 0x00, 0x00, 0x01, 6, 5, 4, 3, 2, 0xC1, 24, 0, 0, 0, 0x90, 1, 0])
    discovery = l2cap(bytes([0x09, 21]) + declaration(0x0030, TX_UUID) + declaration(0x0033, RX_UUID))
    big = bytes(range(256)) * 2
    notification = l2cap(b"\x1b\x30\x00" + big)
    packets = [connected, acl(0b10, discovery),
               acl(0b10, notification[:100]), acl(0b01, notification[100:351]), acl(0b01, notification[351:]),
               acl(0b10, l2cap(b"\x1b\x31\x00\x99")),  # another characteristic
               acl(0b10, l2cap(b"\x1d\x30\x00\x01\x02"))]
    text = tmp_path / "h4.txt"
    text.write_text("\n".join(hexline(p) for p in packets) + "\n")
    run("text2pcap", "-q", "-D", "-l", "201", text, tmp_path / "h4.pcapng")
    path = tmp_path / "theirs.btsnoop"
    run("editcap", "-F", "btsnoop", tmp_path / "h4.pcapng", path)

    times = [int(Decimal(t) * 1_000_000) for (t,) in tshark(path, "0x1b || btatt.opcode==0x1d", "frame.time_epoch")]
    ours, warned = run(PROBE, "read", path)
    assert warned == ""
    assert ours.splitlines() == [f"n C1:02:03:04:05:06 65 {times[0]} {big.hex()}",
                                 f"n C1:02:03:04:05:06 65 {times[2]} 0102"]
    assert python_read(path) == ours.splitlines()


def test_record_and_decode_through_a_snoop_log(tmp_path):
    # The tool's snoop log carries the same frames as its raw capture, and
    # decodes to the same lines.
    raw, log = tmp_path / "left.bin", tmp_path / "left.btsnoop"
    run(INSOLE, "record", raw, "--seconds", "2")
    run(INSOLE, "record", "--btsnoop", log, "--seconds", "2")
    values = tshark(log, "0x1b", "btatt.value")
    assert len(values) == 100
    assert bytes.fromhex("".join(v for (v,) in values)) == raw.read_bytes()
    assert run(INSOLE, "decode", "--btsnoop", log) == run(INSOLE, "decode", raw)
    # The handle given by hand serves as well as the discovery.
    assert run(INSOLE, "decode", "--btsnoop", log, "--handle", "0x12") == run(INSOLE, "decode", raw)


def test_python_and_cpp_readers_agree_on_damage(tmp_path):
    # Our writer's log cut at every byte, then records of random bytes behind
    # a good header: the two readers give the same packets and the same
    # warnings, in order.
    from trova_insole import btsnoop

    def both(data):
        path = tmp_path / "damaged.btsnoop"
        path.write_bytes(data)
        done = subprocess.run([str(PROBE), "read", str(path)], capture_output=True, text=True, timeout=60)
        with open(path, "rb") as stream, warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            try:
                packets = [f"{'n' if p.kind == 'notification' else 'c'} {p.device} {p.connection} "
                           f"{p.unix_time_ns // 1000} {p.value.hex()}" for p in btsnoop.read_snoop(stream)]
                error = []
            except ValueError as e:
                packets, error = [], [f"error: {str(e).split(': ', 1)[1]}"]
        python = packets, [f"warning: {str(w.message).split(': ', 1)[1]}" for w in said] + error
        return (done.stdout.splitlines(), done.stderr.splitlines()), python

    events = "n AA:BB:CC:00:00:01 1700000000000000000 " + "ab" * 300 + "\nn right 1700000000001000000 0102\n" \
        "c AA:BB:CC:00:00:01 1700000000002000000 aabb\n"
    log = tmp_path / "ours.btsnoop"
    run(PROBE, "write", log, stdin=events)
    full = log.read_bytes()
    for cut in range(0, len(full), 3):  # every byte is in the C++ unit test; here, parity
        cpp, python = both(full[:cut])
        assert cpp == python, cut

    rng = random.Random(6)
    for _ in range(100):
        data = bytearray(full[:16])
        for _ in range(20):
            packet = bytes([rng.randrange(1, 5)]) + bytes(rng.randrange(256) for _ in range(rng.randrange(30)))
            original = len(packet) + (rng.random() < 0.1)
            data += struct.pack(">IIIIq", original, len(packet), rng.randrange(4), rng.randrange(2), rng.randrange(1 << 60))
            data += packet
        cpp, python = both(bytes(data))
        assert cpp == python


def test_live_sources_record_both_directions(tmp_path):
    # Two virtual insoles recorded live: each is its own connection, the
    # start command the tool wrote to it is a Write Command on RX, and what
    # each streamed comes back per device through our reader.
    log = tmp_path / "pair.btsnoop"
    run(INSOLE, "record", "--btsnoop", log, "--virtual", "left", "--virtual", "right", "--seconds", "1")
    writes = tshark(log, "0x52", "bthci_acl.chandle", "btatt.uuid128")
    assert len({handle for handle, _ in writes}) == 2
    assert {uuid.replace(":", "") for _, uuid in writes} == {RX_UUID}
    notified = {handle for (handle,) in tshark(log, "0x1b", "bthci_acl.chandle")}
    assert len(notified) == 2
    out, err = run(INSOLE, "decode", "--btsnoop", log)
    assert '"DEVICE_LEFT"' in out and '"DEVICE_RIGHT"' in out
    assert err.count('"crc_errors":0') == 2

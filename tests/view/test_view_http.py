"""insole view as a web server: what it answers and what it refuses, pages
that stop reading, the cell layout and the centre of pressure. Runs the tool
(INSOLE_BIN, default the release build) on the mock insoles."""

import json
import os
import pathlib
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from view_client import WsClient, start_server  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = os.environ.get("INSOLE_BIN", str(ROOT / "build" / "release" / "tools" / "insole"))


@pytest.fixture(scope="module")
def view():
    proc, port = start_server([BIN, "view", "--seconds", "120"])
    yield port
    proc.terminate()
    proc.wait(timeout=10)


def raw_request(port, data, read_timeout=5):
    """Sends bytes as they are (no client tidies the path) and returns the status."""
    with socket.create_connection(("127.0.0.1", port), timeout=read_timeout) as s:
        s.sendall(data)
        answer = b""
        while b"\r\n" not in answer:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    return int(answer.split(b" ", 2)[1]) if answer else 0


def get(port, path):
    return raw_request(port, f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())


def state(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/state.json", timeout=5) as r:
        return json.load(r)


def test_serves_only_its_own_assets(view):
    with urllib.request.urlopen(f"http://127.0.0.1:{view}/", timeout=5) as r:
        assert r.status == 200 and r.headers["Content-Type"].startswith("text/html")
        assert "default-src 'self'" in r.headers["Content-Security-Policy"]
        assert b"/view.js" in r.read()
    for path in ["/view.js", "/view.css", "/layout.json", "/state.json", "/view.js?v=2"]:
        assert get(view, path) == 200, path
    for path in ["/nope", "/index.html", "/../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd",
                 "/view.js/../../../etc/passwd", "/view.js%00", "/VIEW.JS", "/ws"]:
        assert get(view, path) == 404, path


def test_malformed_and_oversized_requests_get_4xx(view):
    assert raw_request(view, b"GARBAGE\r\n\r\n") == 400
    assert raw_request(view, b"GET /\r\n\r\n") == 400
    assert raw_request(view, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nBad Header\r\n\r\n") == 400
    big = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Big: " % view + b"a" * 9000 + b"\r\n\r\n"
    assert raw_request(view, big) in (400, 431)
    body = b"x" * 5000
    post = b"POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %d\r\n\r\n" % (view, len(body)) + body
    assert raw_request(view, post) in (405, 413)
    assert raw_request(view, b"DELETE / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % view) == 405
    # Two Host or two Origin fields are refused whatever their order, even when both are good.
    for first, second in [("127.0.0.1:%d" % view, "evil.example"), ("evil.example", "127.0.0.1:%d" % view),
                          ("127.0.0.1:%d" % view, "127.0.0.1:%d" % view)]:
        assert raw_request(view, f"GET / HTTP/1.1\r\nHost: {first}\r\nHost: {second}\r\n\r\n".encode()) == 400
    own = f"http://127.0.0.1:{view}"
    for origins in [(own, "http://evil.example"), ("http://evil.example", own)]:
        upgrade = (f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{view}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                   f"Origin: {origins[0]}\r\nOrigin: {origins[1]}\r\n\r\n")
        assert raw_request(view, upgrade.encode()) == 400, origins
    # Bound to loopback, it answers to loopback names only (a rebound DNS name is refused).
    assert raw_request(view, b"GET / HTTP/1.1\r\nHost: evil.example:%d\r\n\r\n" % view) == 403
    # A silent connection does not hold the server: the others are still answered.
    idle = socket.create_connection(("127.0.0.1", view))
    assert get(view, "/view.css") == 200
    idle.close()


def test_websocket_origin_must_match_the_host(view):
    assert WsClient(view, origin="http://evil.example").status == 403
    assert WsClient(view, origin=f"http://localhost:{view}").status == 403  # another origin than the host asked
    ok = WsClient(view)
    assert ok.status == 101
    snap = json.loads(ok.recv())
    assert snap["type"] == "state" and {i["foot"] for i in snap["insoles"]} == {"left", "right"}
    ok.close()


def test_a_page_that_stops_reading_is_dropped_and_nothing_else_suffers(view):
    # The silent page's socket takes little, so its stall shows soon.
    silent = WsClient(view, rcvbuf=4096)
    assert silent.status == 101
    reader = WsClient(view)
    start = time.monotonic()
    seqs = []
    while time.monotonic() - start < 10:
        seqs.append(json.loads(reader.recv())["insoles"][0]["seq"])
    # Dropped: the server closed, so draining what reached the silent page ends.
    silent.sock.setblocking(False)
    dropped = False
    try:
        while not dropped:
            dropped = not silent.sock.recv(1 << 20)
    except BlockingIOError:
        pass
    except ConnectionResetError:
        dropped = True
    assert dropped, "the silent page was never dropped"
    # The reader kept getting fresh snapshots all along (about 30 a second).
    assert len(seqs) > 5 * (time.monotonic() - start) and seqs == sorted(seqs) and seqs[-1] > seqs[0]
    reader.close()
    # The source lost nothing: every frame decoded, no gap, at the mock's pace.
    for insole in state(view)["insoles"]:
        assert insole["lost"] == 0 and insole["frames"] == insole["seq"] and insole["decode_errors"] == 0


def test_centre_of_pressure_is_the_load_weighted_mean_of_the_layout(view):
    with urllib.request.urlopen(f"http://127.0.0.1:{view}/layout.json", timeout=5) as r:
        cells = json.load(r)["cells"]
    assert len(cells) == 48
    for insole in state(view)["insoles"]:
        loads = insole["cells"]
        mirror = -1 if insole["foot"] == "right" else 1
        total = sum(loads)
        x = mirror * sum(v * c[0] for v, c in zip(loads, cells)) / total
        y = sum(v * c[1] for v, c in zip(loads, cells)) / total
        assert insole["total"] == pytest.approx(total)
        assert insole["cop"] == pytest.approx([x, y], abs=0.01)


def run_view(*args):
    return subprocess.run([BIN, "view", *map(str, args)], capture_output=True, timeout=60, check=False)


def test_layout_files(tmp_path):
    # A layout of our own: every cell at one point puts the centre there.
    cells = [{"index": i, "x": 10.0, "y": 50.0, "w": 5, "h": 5} for i in range(48)]
    good = tmp_path / "good.json"
    good.write_text(json.dumps({"cells": cells}))
    proc, port = start_server([BIN, "view", "--layout", good, "--seconds", "30", "--mock", "left"])
    try:
        time.sleep(0.5)
        assert state(port)["insoles"][0]["cop"] == [10.0, 50.0]
    finally:
        proc.terminate()
        proc.wait(timeout=10)

    bad = {
        "not json": "{cells: [",
        "cells missing": "{}",
        "a cell missing": json.dumps({"cells": cells[:47]}),
        "a cell twice": json.dumps({"cells": cells[:47] + [cells[0]]}),
        "index out of range": json.dumps({"cells": cells[:47] + [dict(cells[0], index=48)]}),
        "zero width": json.dumps({"cells": cells[:47] + [dict(cells[47], w=0)]}),
        "text for a number": json.dumps({"cells": cells[:47] + [dict(cells[47], x="ten")]}),
        "a kilometre": json.dumps({"cells": cells[:47] + [dict(cells[47], y=1e6)]}),
        "nested past the reader's stack": '{"cells":' + "[" * 100_000 + "]" * 100_000 + "}",
    }
    for why, text in bad.items():
        path = tmp_path / "bad.json"
        path.write_text(text)
        result = run_view("--layout", path, "--seconds", "1")
        err = result.stderr.decode()
        assert result.returncode == 1 and err.startswith(f"insole: {path}: not a cell layout: "), why
        assert err.count("\n") == 1 and not result.stdout, why
    result = run_view("--layout", tmp_path / "absent.json", "--seconds", "1")
    assert result.returncode == 1 and result.stderr.decode().startswith("insole: cannot read ")


def test_arguments_and_the_bounded_run():
    for args in (["--port", "70000"], ["--fps", "0"], ["--seconds", "-1"], ["--listen"]):
        result = run_view(*args)
        assert result.returncode == 2 and result.stderr.decode().startswith("insole: "), args
    result = run_view("--listen", "not-an-address", "--seconds", "1")
    assert result.returncode == 1 and "cannot listen on not-an-address" in result.stderr.decode()
    started = time.monotonic()
    result = run_view("--seconds", "1", "--mock", "a", "--mock", "b-right")
    assert result.returncode == 0 and time.monotonic() - started < 10
    lines = result.stdout.decode().splitlines()
    assert lines[0].startswith("insole view: http://127.0.0.1:") and lines[1].startswith("insole view: ")
    result = run_view("--listen", "0.0.0.0", "--seconds", "0.3")
    assert result.returncode == 0 and "warning" in result.stderr.decode()


def test_virtual_insoles_show_who_they_are():
    # Insoles that take commands are asked for their device information; the
    # page's state carries both feet's answers beside their streams.
    proc, port = start_server([BIN, "view", "--virtual", "left", "--virtual", "right", "--seconds", "30"])
    try:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            insoles = state(port)["insoles"]
            if len(insoles) == 2 and all(i["device_info"] and i["seq"] for i in insoles):
                break
            time.sleep(0.2)
        assert sorted(i["foot"] for i in insoles) == ["left", "right"]
        assert sorted(i["device_info"]["serial"] for i in insoles) == ["VI0000001", "VI0000002"]
        assert all(i["lost"] == 0 and i["crc_errors"] == 0 for i in insoles)
    finally:
        proc.terminate()
        proc.wait(timeout=10)

"""The pure-Python companion package: what BLE handlers receive goes in as it is."""

import pathlib
import sys

import pytest

from conftest import frame

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))
from trova_insole import Parser  # noqa: E402

STREAM = frame(b"\x08\x01") + frame(b"\x08\x02") + b"\x00\xff" + frame(b"\x08\x03")[:7]


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_parser_takes_any_bytes_like_and_gives_dicts(kind):
    parser = Parser()
    assert parser.feed(kind(STREAM)) == [{"msgId": 1}, {"msgId": 2}]
    assert parser.buffered_len() == 7 and parser.stats()["dropped_bytes"] == 2
    assert parser.feed(kind(frame(b"\x08\x03")[7:])) == [{"msgId": 3}]


def test_parser_refuses_text_and_keeps_decode_errors_lossless():
    parser = Parser()
    with pytest.raises(TypeError, match="bytes, bytearray or memoryview, not str"):
        parser.feed("TRVA")
    with pytest.raises(ValueError):
        parser.feed(bytearray(frame(b"\x08\x01") + frame(b"\x0a\x00") + frame(b"\x08\x02")))
    assert parser.feed(b"") == [{"msgId": 1}, {"msgId": 2}]


def test_read_capture_gives_the_same_rows_in_every_form(tmp_path):
    import os
    import subprocess

    from trova_insole import read_capture
    tool = os.environ.get("INSOLE_BIN", str(pathlib.Path(__file__).resolve().parents[2] / "build/release/tools/insole"))
    os.environ["INSOLE_BIN"] = tool
    path = tmp_path / "left.mcap"
    subprocess.run([tool, "record", str(path), "--seconds", "0.5"], check=True, capture_output=True)
    frame = read_capture(path, as_="pandas")
    arrays = read_capture(path, as_="numpy")
    rows = read_capture(path, as_="lists")
    assert list(frame["seq"]) == list(arrays["seq"]) == [r["seq"] for r in rows] == list(range(1, 26))
    assert list(frame["pressure_7"]) == [r["pressure_7"] for r in rows] and rows[0]["raw_pressure_0"] is None
    assert set(frame["foot"]) == {"left"} and frame["gap"].sum() == 0
    with pytest.raises(ValueError, match="not a capture file|cannot open"):
        read_capture(tmp_path / "missing.mcap")

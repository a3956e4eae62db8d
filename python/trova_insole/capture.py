"""Capture files and live feeds in the MCAP container, in pure Python.

A host records what its insoles send, or hands it to the SDK's tools as it
arrives, with the same format: one channel per insole carries the raw
notifications as received, stamped with the host's receive time. See
docs/capture-format.md for the channels and metadata.

    with CaptureWriter(open("session.mcap", "wb"), metadata={"subject": "s1"}) as capture:
        left = capture.add_insole("AA:BB:CC:00:00:01", "left")
        capture.write(left, notification_bytes)            # receive time: now

    for message in read_messages("session.mcap"):
        print(message.device_id, message.log_time_ns, message.data.hex())

A deliberate twin of the SDK's C++ reader and writer
(sdk/src/capture/mcap_reader.cpp, mcap_writer.cpp): this package is pure
Python on top of an extension module whose surface is fixed, and a host must
be able to write a capture without a compiler. The twins are bound by
tests/capture/test_mcap_oracle.py (test_the_python_writer_and_reader_agree_with_both:
what this writer writes, the C++ reader, an independent reference and this
reader read alike) and tests/capture/test_sessions.py (the example host's
captures and feeds, read by the tool). Those tests compare whole captures; on
damage each reader words its own warnings. A change of the format goes into
both.
"""

from __future__ import annotations

import struct
import time
import warnings
import zlib
from dataclasses import dataclass
from typing import BinaryIO, Iterator, Optional, Union

import trova_insole_sdk as _sdk

from . import btsnoop as _btsnoop

MAGIC = b"\x89MCAP0\r\n"
RAW_ENCODING = "insole.notification"
OP_HEADER, OP_FOOTER, OP_SCHEMA, OP_CHANNEL, OP_MESSAGE, OP_CHUNK = 1, 2, 3, 4, 5, 6
OP_METADATA, OP_DATA_END = 0x0C, 0x0F
MAX_RECORD = 256 << 20
MAX_CHANNEL_BYTES = 16 << 20  # the channels a reader keeps, as the tool's reader


def _string(text: str) -> bytes:
    data = text.encode("utf-8")
    return struct.pack("<I", len(data)) + data


def _string_map(pairs: dict[str, str]) -> bytes:
    body = b"".join(_string(k) + _string(v) for k, v in sorted(pairs.items()))
    return struct.pack("<I", len(body)) + body


def _record(op: int, body: bytes) -> bytes:
    return struct.pack("<BQ", op, len(body)) + body


class CaptureWriter:
    """Writes a capture: a file (live=False), or a live feed (live=True).

    A file collects messages in chunks, each closed and flushed after a second
    of receive time; a writer killed mid-way loses at most the open chunk. A
    live feed writes and flushes every message at once, for a reader at the
    other end of a pipe or socket. Files written here carry no summary; every
    MCAP reader reads them front to back.
    """

    def __init__(self, out: BinaryIO, metadata: Optional[dict[str, str]] = None, live: bool = False) -> None:
        self._out = out
        self._live = live
        self._channels = 0
        self._sequence: dict[int, int] = {}
        self._chunk = bytearray()
        self._chunk_start = self._chunk_end = 0
        self._out.write(MAGIC + _record(OP_HEADER, _string("") + _string("trova_insole " + _sdk.__version__)))
        session = dict(metadata or {})
        session["sdk_version"] = _sdk.__version__
        self._out.write(_record(OP_METADATA, _string("session") + _string_map(session)))
        self._out.flush()

    def add_insole(self, device_id: str, foot: str = "unknown") -> int:
        """Declare one insole's channel; returns its channel id for write()."""
        self._channels += 1
        channel = self._channels
        body = struct.pack("<HH", channel, 0) + _string(f"/insole/{device_id}/notifications") + _string(RAW_ENCODING)
        self._out.write(_record(OP_CHANNEL, body + _string_map({"device_id": device_id, "foot": foot})))
        self._out.flush()
        self._sequence[channel] = 0
        return channel

    def write(self, channel: int, data: Union[bytes, bytearray, memoryview], log_time_ns: Optional[int] = None) -> None:
        """Record one notification as received (receive time now unless given)."""
        when = time.time_ns() if log_time_ns is None else log_time_ns
        sequence = self._sequence[channel]
        self._sequence[channel] = sequence + 1
        record = _record(OP_MESSAGE, struct.pack("<HIQQ", channel, sequence, when, when) + bytes(data))
        if self._live:
            self._out.write(record)
            self._out.flush()
            return
        if not self._chunk:
            self._chunk_start = self._chunk_end = when
        self._chunk_start, self._chunk_end = min(self._chunk_start, when), max(self._chunk_end, when)
        self._chunk += record
        if len(self._chunk) >= 1 << 20 or when - self._chunk_start >= 1_000_000_000:
            self._close_chunk()

    def _close_chunk(self) -> None:
        if not self._chunk:
            return
        data = bytes(self._chunk)
        body = struct.pack("<QQQI", self._chunk_start, self._chunk_end, len(data), zlib.crc32(data))
        self._out.write(_record(OP_CHUNK, body + _string("") + struct.pack("<Q", len(data)) + data))
        self._out.flush()
        self._chunk.clear()

    def close(self) -> None:
        """End the capture: the open chunk, then the closing records."""
        self._close_chunk()
        self._out.write(_record(OP_DATA_END, struct.pack("<I", 0)))
        self._out.write(_record(OP_FOOTER, struct.pack("<QQI", 0, 0, 0)) + MAGIC)
        self._out.flush()

    def __enter__(self) -> "CaptureWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


@dataclass
class CapturedMessage:
    """One notification of a capture, as received."""

    device_id: str
    foot: str
    log_time_ns: int
    sequence: int
    data: bytes


class _Reader:
    def __init__(self, stream: BinaryIO, name: str) -> None:
        self.stream, self.name, self.offset = stream, name, 0
        self.channels: dict[int, tuple[str, str]] = {}
        self.kept_bytes = 0
        self.refused_any = False
        self.costs: dict[int, int] = {}

    def warn(self, text: str) -> None:
        warnings.warn(f"{self.name}: {text}", stacklevel=4)

    def exact(self, n: int) -> Optional[bytes]:
        data = self.stream.read(n)
        while data is not None and len(data) < n:  # pipes and sockets deliver in pieces
            more = self.stream.read(n - len(data))
            if not more:
                return None
            data += more
        return data

    def messages(self) -> Iterator[CapturedMessage]:
        if self.exact(8) != MAGIC:
            raise ValueError(f"{self.name}: not a capture file (no MCAP magic at its start)")
        self.offset = 8
        while True:
            at = self.offset
            prefix = self.exact(9)
            if not prefix or len(prefix) < 9:
                self.warn(f"capture cut short at byte {at}: everything before it was read")
                return
            op, length = struct.unpack("<BQ", prefix)
            if length > MAX_RECORD:
                self.warn(f"record at byte {at} claims {length} bytes; reading stops there")
                return
            body = self.exact(length) if length else b""
            if body is None:
                self.warn(f"capture cut short at byte {at} inside a record: everything before it was read")
                return
            self.offset += 9 + length
            if op in (OP_DATA_END, OP_FOOTER):
                return
            yield from self.record(op, body, at)

    def record(self, op: int, body: bytes, at: int) -> Iterator[CapturedMessage]:
        try:
            if op == OP_CHANNEL:
                channel, _schema, n = struct.unpack_from("<HHI", body)
                topic_end = 8 + n
                (n,) = struct.unpack_from("<I", body, topic_end)
                encoding = body[topic_end + 4:topic_end + 4 + n].decode()
                meta = self.string_map(body, topic_end + 4 + n)
                topic = body[8:topic_end].decode()
                kept = (meta.get("device_id", topic), meta.get("foot", "unknown"))
                if encoding != RAW_ENCODING:
                    kept = ("", "")  # not a channel of notifications: skipped
                self.keep(channel, kept, body, at)
            elif op == OP_MESSAGE:
                channel, sequence, log_time, _publish = struct.unpack_from("<HIQQ", body)
                device, foot = self.channels.get(channel, ("", ""))
                if device:
                    yield CapturedMessage(device, foot, log_time, sequence, body[22:])
            elif op == OP_CHUNK:
                _s, _e, size, crc = struct.unpack_from("<QQQI", body)
                (n,) = struct.unpack_from("<I", body, 28)
                compression = body[32:32 + n].decode()
                (records_len,) = struct.unpack_from("<Q", body, 32 + n)
                records = body[40 + n:40 + n + records_len]
                if compression or len(records) != size or records_len != size:
                    self.warn(f"chunk at byte {at} is compressed or malformed; skipped")
                elif crc and zlib.crc32(records) != crc:
                    self.warn(f"chunk at byte {at} fails its CRC check; skipped")
                else:
                    yield from self.chunk_records(records, at)
            elif op == OP_METADATA:  # checked, not kept: no caller reads it, and a file may hold any number
                (n,) = struct.unpack_from("<I", body)
                body[4:4 + n].decode()
                self.string_map(body, 4 + n)
        except (struct.error, UnicodeDecodeError):
            self.warn(f"record at byte {at} is malformed; skipped")

    def keep(self, channel: int, kept: tuple[str, str], body: bytes, at: int) -> None:
        # Within a budget, as the tool's reader keeps its channels: a file of
        # ever bigger channel records must not grow memory without end.
        freed, size = self.costs.get(channel, 0), len(body) + 128
        if self.kept_bytes - freed + size > MAX_CHANNEL_BYTES:
            if not self.refused_any:
                self.warn(f"channel {channel} at byte {at} would take the channels kept past {MAX_CHANNEL_BYTES >> 20}"
                          " MiB; it, and every later channel past the bound, is skipped with its messages")
            self.refused_any = True
            self.kept_bytes -= freed
            self.costs.pop(channel, None)
            self.channels[channel] = ("", "")
            return
        self.kept_bytes += size - freed
        self.costs[channel] = size
        self.channels[channel] = kept

    def chunk_records(self, records: bytes, at: int) -> Iterator[CapturedMessage]:
        # A loop, not a descent: a chunk inside a chunk is skipped (no writer
        # nests them), as the tool's reader does, so depth never drives the
        # reader. A record that runs past its chunk ends it, with the rest.
        inner = 0
        while inner < len(records):
            if inner + 9 > len(records):
                self.warn(f"chunk at byte {at} ends inside a record; its last records are skipped")
                return
            op, n = struct.unpack_from("<BQ", records, inner)
            if n > len(records) - inner - 9:
                self.warn(f"chunk at byte {at} ends inside a record; its last records are skipped")
                return
            body = records[inner + 9:inner + 9 + n]
            inner += 9 + n
            if op == OP_CHUNK:
                self.warn(f"chunk at byte {at} holds a chunk, which a capture never nests; the inner chunk is skipped")
            else:
                yield from self.record(op, body, at)

    @staticmethod
    def string_map(body: bytes, at: int) -> dict[str, str]:
        (n,) = struct.unpack_from("<I", body, at)
        pairs, pos, end = {}, at + 4, at + 4 + n
        while pos < end:
            (k,) = struct.unpack_from("<I", body, pos)
            key = body[pos + 4:pos + 4 + k].decode()
            pos += 4 + k
            (v,) = struct.unpack_from("<I", body, pos)
            pairs[key] = body[pos + 4:pos + 4 + v].decode()
            pos += 4 + v
        return pairs


def _holds_a_frame(data: bytes) -> bool:
    """True when an insole frame (good, or with a CRC that does not match) is in data."""
    parser = _sdk.StreamParser()
    for start in range(0, len(data), 4096):
        try:
            parser.push(data[start:start + 4096])
        except ValueError:  # a frame whose payload does not decode is a frame all the same
            return True
        stats = parser.stats()
        if stats["frames_received"] or stats["crc_errors"]:
            return True
    return False


def _raw(stream: BinaryIO, name: str) -> Iterator[CapturedMessage]:
    """A raw byte capture of one insole (the .bin form): no times, no identity;
    a capture only when an insole frame is in it."""
    data = stream.read()
    if not data:
        raise ValueError(f"{name}: not a capture: it is empty")
    if not _holds_a_frame(data):
        raise ValueError(f"{name}: not a capture: no MCAP or btsnoop magic at its start "
                         f"and no insole frame in its {len(data)} bytes")  # the tool's words
    for sequence, start in enumerate(range(0, len(data), 64 * 1024)):
        yield CapturedMessage(name, "unknown", 0, sequence, data[start:start + 64 * 1024])


def _messages(stream: BinaryIO, name: str) -> Iterator[CapturedMessage]:
    # Told by the first bytes, as the insole tool tells them, when the stream
    # can show them without consuming them (files can).
    peek = getattr(stream, "peek", None)
    head = peek(8)[:8] if peek is not None else None
    if head == _btsnoop.MAGIC:
        sequence: dict[str, int] = {}
        for packet in _btsnoop.read_snoop(stream, name):
            if packet.kind == "notification":
                n = sequence.get(packet.device, 0)
                sequence[packet.device] = n + 1
                yield CapturedMessage(packet.device, "unknown", packet.unix_time_ns, n, packet.value)
        return
    if head is not None and head != MAGIC[:len(head)] or head == b"":
        yield from _raw(stream, name)
        return
    yield from _Reader(stream, name).messages()


def read_messages(source: Union[str, BinaryIO]) -> Iterator[CapturedMessage]:
    """The notifications of a capture file or live feed, in the order written.

    A phone's Bluetooth HCI snoop log (btsnoop) reads too: one device per
    connection, its notifications stamped with the log's times (see
    trova_insole.btsnoop). So does a file of the raw bytes one insole sent
    (the .bin form): one device named by the file, log time 0, in blocks.
    Damage is reported with warnings.warn and skipped; a cut file yields what
    came before the cut. Raises ValueError for input that is not a capture
    (no MCAP or btsnoop magic, and no insole frame in it).
    """
    if isinstance(source, (str, bytes)) or hasattr(source, "__fspath__"):
        with open(source, "rb") as stream:
            yield from _messages(stream, str(source))
    else:
        yield from _messages(source, getattr(source, "name", "capture"))


__all__ = ["CaptureWriter", "CapturedMessage", "read_messages", "RAW_ENCODING"]

"""Insole traffic out of a phone's Bluetooth HCI snoop log, in pure Python.

Phones write these logs as btsnoop version 1 with the HCI UART framing. ACL
fragments are put back together per connection and direction, L2CAP is
followed to the ATT channel, and the notifications (and indications) of the
insole's TX characteristic come out as notifications, the writes to its RX
characteristic as commands. The characteristics are found from the GATT
discovery in the log, or given as tx_handle when the phone had them cached.
One connection is one device, named by the peer address of its LE Connection
Complete event, or "conn-0x0040" (its handle) when the log does not have it.

    for packet in read_snoop(open("btsnoop_hci.log", "rb")):
        print(packet.kind, packet.device, packet.unix_time_ns, packet.value.hex())

Damage is reported with warnings.warn, naming its file offset, and skipped.

A deliberate twin of the SDK's C++ reader (sdk/src/capture/btsnoop_reader.cpp),
kept so that the pure-Python package reads phone logs without the extension
module growing a reader of its own. The two are bound by
tests/capture/test_btsnoop_dissector.py: test_python_and_cpp_readers_agree_on_damage
(the same packets and the same warnings, in order, for logs cut at every third
byte and for random records) and test_we_read_what_wireshark_writes. A change
to one goes into the other.
"""

from __future__ import annotations

import struct
import warnings
from dataclasses import dataclass, field
from typing import BinaryIO, Iterator, Optional

MAGIC = b"btsnoop\0"
EPOCH_DELTA_US = 0x00DCDDB30F2F8000  # from 0 AD, the log's origin, to 1970
TX_UUID = "4de5a20c-0002-ae21-bf63-0242ac130002"
RX_UUID = "4de5a20c-0003-ae21-bf63-0242ac130002"
MAX_RECORD = 1 + 4 + 0xFFFF  # the largest HCI packet: no longer record is read
MAX_ATT_PDU = 1024  # ATT_MTU is at most 517: larger PDUs are not kept


@dataclass
class SnoopPacket:
    """One notification of the insole, or one command written to it."""

    kind: str  # "notification" or "command"
    device: str
    connection: int
    unix_time_ns: int
    offset: int  # of the record that completed it
    value: bytes


@dataclass
class _Reassembly:
    pdu: bytearray = field(default_factory=bytearray)
    seen: int = 0
    total: int = 0  # 4 + the L2CAP length, 0 until the header is in
    active: bool = False
    keep: bool = True


@dataclass
class _Connection:
    device: str
    tx: Optional[int] = None
    rx: Optional[int] = None
    unmatched: int = 0
    parts: list = field(default_factory=lambda: [_Reassembly(), _Reassembly()])


def _uuid_on_air(text: str) -> bytes:
    return bytes.fromhex(text.replace("-", ""))[::-1]


class _Reader:
    def __init__(self, stream: BinaryIO, name: str, tx_handle: Optional[int], rx_handle: Optional[int]) -> None:
        self.stream, self.name = stream, name
        self.tx_handle, self.rx_handle = tx_handle, rx_handle
        self.tx_uuid, self.rx_uuid = _uuid_on_air(TX_UUID), _uuid_on_air(RX_UUID)
        self.connections: dict[int, _Connection] = {}  # at most 4096: handles have 12 bits
        self.at = 0
        self.time_ns = 0

    def warn(self, text: str) -> None:
        warnings.warn(f"{self.name}: {text}", stacklevel=4)

    def exact(self, n: int) -> bytes:
        data = self.stream.read(n) or b""
        while len(data) < n:
            more = self.stream.read(n - len(data))
            if not more:
                break
            data += more
        return data

    def connection(self, handle: int) -> _Connection:
        if handle not in self.connections:
            self.connections[handle] = _Connection(f"conn-0x{handle:04x}")
        return self.connections[handle]

    def close(self, handle: int) -> None:
        c = self.connections.pop(handle, None)
        if c is None:
            return
        if any(r.active for r in c.parts):
            self.warn(f"connection 0x{handle:04x} ended inside an L2CAP packet; its start was dropped")
        if c.unmatched and self.tx_handle is None:
            self.warn(f"{c.device}: {c.unmatched} notifications, but the log holds no GATT discovery "
                      "of the insole's characteristic; give its handle")

    def packets(self) -> Iterator[SnoopPacket]:
        head = self.exact(16)
        if len(head) < 16 or head[:8] != MAGIC:
            raise ValueError(f"{self.name}: not a btsnoop log (no btsnoop magic at its start)")
        version, datalink = struct.unpack(">II", head[8:])
        if version != 1:
            raise ValueError(f"{self.name}: btsnoop version {version} is not supported (only version 1)")
        if datalink != 1002:
            raise ValueError(f"{self.name}: btsnoop datalink {datalink} is not supported (only 1002, HCI UART)")
        at, drops = 16, 0
        while True:
            h = self.exact(24)
            if not h:
                break
            if len(h) < 24:
                self.warn(f"log cut short at byte {at} inside a record header; everything before it was read")
                break
            original, included, flags, dropped, stamp = struct.unpack(">IIIIq", h)
            if included > MAX_RECORD:
                self.warn(f"record at byte {at} claims {included} bytes; reading stops there")
                break
            packet = self.exact(included)
            if len(packet) < included:
                self.warn(f"log cut short at byte {at} inside a record; everything before it was read")
                break
            if dropped > drops:
                self.warn(f"the phone dropped {dropped - drops} packets before the record at byte {at}")
            drops = dropped
            self.at, self.time_ns = at, (stamp - EPOCH_DELTA_US) * 1000
            yield from self.record(flags & 1, packet, included < original)
            at += 24 + included
        for handle in list(self.connections):
            self.close(handle)

    def record(self, direction: int, packet: bytes, cut: bool) -> Iterator[SnoopPacket]:
        if not packet:
            self.warn(f"record at byte {self.at} is empty; skipped")
        elif packet[0] == 0x02:
            yield from self.acl(direction, packet[1:], cut)
        elif packet[0] == 0x04 and not cut:
            self.event(packet[1:])

    def event(self, e: bytes) -> None:
        if len(e) < 2 or len(e) - 2 < e[1]:
            self.warn(f"event at byte {self.at} is cut short")
            return
        p = e[2:2 + e[1]]
        if e[0] == 0x05 and len(p) >= 4 and p[0] == 0:  # Disconnection Complete
            self.close(struct.unpack_from("<H", p, 1)[0] & 0x0FFF)
        elif e[0] == 0x3E and len(p) >= 12 and p[0] in (0x01, 0x0A) and p[1] == 0:  # LE (Enhanced) Connection Complete
            # A new connection on a handle used before is a new device.
            handle = struct.unpack_from("<H", p, 2)[0] & 0x0FFF
            self.close(handle)
            self.connection(handle).device = ":".join(f"{b:02X}" for b in p[6:12][::-1])

    def acl(self, direction: int, a: bytes, cut: bool) -> Iterator[SnoopPacket]:
        if len(a) < 4:
            self.warn(f"ACL packet at byte {self.at} is cut short; skipped")
            return
        word, length = struct.unpack_from("<HH", a)
        handle, boundary = word & 0x0FFF, (word >> 12) & 0b11
        c = self.connection(handle)
        r = c.parts[direction]
        data = a[4:]
        if cut or len(data) != length:
            self.warn(f"ACL packet at byte {self.at} on connection 0x{handle:04x} holds {len(data)} of {length} "
                      "bytes; its L2CAP packet is dropped")
            c.parts[direction] = _Reassembly()
            return
        if boundary == 0b01:
            if not r.active:
                self.warn(f"ACL continuation at byte {self.at} on connection 0x{handle:04x} follows no start; dropped")
                return
        elif not r.active and len(data) >= 4 and struct.unpack_from("<H", data)[0] + 4 == len(data):
            # A whole L2CAP packet in one fragment, as most are: no reassembly.
            if data[2:4] == b"\x04\x00":
                if len(data) - 4 > MAX_ATT_PDU:
                    self.warn(f"ATT packet at byte {self.at} on connection 0x{handle:04x} claims {len(data) - 4} "
                              "bytes, more than ATT allows; skipped")
                else:
                    yield from self.att(handle, c, direction, data[4:])
            return
        else:
            if r.active:
                self.warn(f"ACL start at byte {self.at} on connection 0x{handle:04x} while an L2CAP packet was "
                          "incomplete; the incomplete one is dropped")
            r = c.parts[direction] = _Reassembly(active=True)
        i = 0
        while r.total == 0 and i < len(data):
            r.pdu.append(data[i])
            i += 1
            if len(r.pdu) == 4:
                size, cid = struct.unpack_from("<HH", r.pdu)
                r.total, r.keep = 4 + size, cid == 0x0004
                if r.keep and size > MAX_ATT_PDU:
                    self.warn(f"ATT packet at byte {self.at} on connection 0x{handle:04x} claims {size} bytes, "
                              "more than ATT allows; skipped")
                    r.keep = False
        r.seen += len(data)
        if r.total and r.seen > r.total:
            self.warn(f"ACL fragment at byte {self.at} on connection 0x{handle:04x} runs past its L2CAP length; "
                      "the packet is dropped")
            c.parts[direction] = _Reassembly()
            return
        if r.keep:
            r.pdu += data[i:]
        if r.total and r.seen == r.total:
            c.parts[direction] = _Reassembly()
            if r.keep:
                yield from self.att(handle, c, direction, bytes(r.pdu[4:]))

    def att(self, handle: int, c: _Connection, direction: int, pdu: bytes) -> Iterator[SnoopPacket]:
        if not pdu:
            return
        op, received = pdu[0], direction == 1
        if received and op in (0x1B, 0x1D) and len(pdu) >= 3:  # Handle Value Notification, Indication
            tx = self.tx_handle if self.tx_handle is not None else c.tx
            if tx is None:
                c.unmatched += 1
            elif struct.unpack_from("<H", pdu, 1)[0] == tx:
                yield SnoopPacket("notification", c.device, handle, self.time_ns, self.at, pdu[3:])
        elif not received and op in (0x12, 0x52) and len(pdu) >= 3:  # Write Request, Write Command
            rx = self.rx_handle if self.rx_handle is not None else c.rx
            if rx is not None and struct.unpack_from("<H", pdu, 1)[0] == rx:
                yield SnoopPacket("command", c.device, handle, self.time_ns, self.at, pdu[3:])
        elif received and op == 0x09 and len(pdu) >= 2 and pdu[1] == 21:
            # Read By Type Response with characteristic declarations:
            # handle, properties, value handle, 128-bit UUID.
            for at in range(2, len(pdu) - 20, 21):
                value_handle, uuid = struct.unpack_from("<H", pdu, at + 3)[0], pdu[at + 5:at + 21]
                if uuid == self.tx_uuid:
                    c.tx = value_handle
                if uuid == self.rx_uuid:
                    c.rx = value_handle


def read_snoop(stream: BinaryIO, name: Optional[str] = None, tx_handle: Optional[int] = None,
               rx_handle: Optional[int] = None) -> Iterator[SnoopPacket]:
    """The insole's notifications and commands in a snoop log, in log order.

    Raises ValueError for a stream that is not a btsnoop log this reader
    understands; damage further on is warned about and skipped.
    """
    yield from _Reader(stream, name or getattr(stream, "name", "btsnoop log"), tx_handle, rx_handle).packets()


__all__ = ["MAGIC", "SnoopPacket", "read_snoop"]

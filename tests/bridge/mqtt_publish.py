"""Just enough of an MQTT 5 client to publish what the bridge would never
send: any topic, any user properties, many messages at once (QoS 0, one
connection, so the broker keeps their order)."""

import socket
import struct


def _varint(n):
    out = bytearray()
    while True:
        byte, n = n & 0x7F, n >> 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _text(s):
    b = s.encode() if isinstance(s, str) else bytes(s)
    return struct.pack(">H", len(b)) + b


def _packet(kind, body):
    return bytes([kind]) + _varint(len(body)) + body


def publish_packet(topic, payload, properties=(), retain=False):
    props = b"".join(b"\x26" + _text(k) + _text(v) for k, v in properties)
    body = _text(topic) + _varint(len(props)) + props + bytes(payload)
    return _packet(0x30 | (1 if retain else 0), body)


def publish_all(port, packets, client_id="test-publisher"):
    """Sends the packets (publish_packet) and disconnects once the broker
    has read them all (a ping answered after them)."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        connect = _text("MQTT") + bytes([5, 0x02]) + struct.pack(">H", 60) + _varint(0) + _text(client_id)
        s.sendall(_packet(0x10, connect))
        connack = s.recv(4)
        assert connack[:1] == b"\x20" and connack[3:4] == b"\x00", connack
        data = b"".join(packets)
        s.sendall(data)
        s.sendall(b"\xc0\x00")  # PINGREQ: its answer comes after every publication was read
        reply = b""
        while b"\xd0\x00" not in reply:
            chunk = s.recv(64)
            assert chunk, "the broker closed the connection"
            reply += chunk
        s.sendall(b"\xe0\x00")


def count_messages(capture):
    """Message records in a capture, inside chunks or not (uncompressed)."""
    data = capture.read_bytes()
    assert data[:8] == b"\x89MCAP0\r\n", capture

    def walk(buf, at, end):
        n = 0
        while at + 9 <= end:
            op, length = buf[at], struct.unpack_from("<Q", buf, at + 1)[0]
            body = at + 9
            if op == 0x05:
                n += 1
            elif op == 0x06:  # chunk: times, size, crc, compression, then its records
                comp_len = struct.unpack_from("<I", buf, body + 28)[0]
                rec_at = body + 32 + comp_len
                rec_len = struct.unpack_from("<Q", buf, rec_at)[0]
                n += walk(buf, rec_at + 8, rec_at + 8 + rec_len)
            elif op == 0x02:  # footer
                break
            at = body + length
        return n

    return walk(data, 8, len(data))

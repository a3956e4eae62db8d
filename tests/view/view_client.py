"""What the view tests and the view benchmark share: starting `insole view`
(or the benchmark's feeder) and reading its URL, and a small WebSocket client
on the standard library."""

import base64
import os
import socket
import struct
import subprocess


def start_server(argv):
    """Starts argv, which prints its URL first ("...: http://127.0.0.1:PORT/"); returns (process, port)."""
    argv = [str(a) for a in argv]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if "http://" not in line:
        proc.kill()
        raise RuntimeError(f"no URL from {argv}: {line!r} {proc.stderr.read().decode()!r}")
    return proc, int(line.rsplit(":", 1)[1].strip().rstrip("/"))


class WsClient:
    """One WebSocket connection to /ws. status is the handshake's HTTP status."""

    def __init__(self, port, origin="default", host=None, rcvbuf=None, timeout=10):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        host = host or f"127.0.0.1:{port}"
        if origin == "default":
            origin = f"http://{host}"
        key = base64.b64encode(os.urandom(16)).decode()
        lines = [f"GET /ws HTTP/1.1", f"Host: {host}", "Upgrade: websocket", "Connection: Upgrade",
                 f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
        if origin:
            lines.append(f"Origin: {origin}")
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                break
            head += chunk
        self.status = int(head.split(b" ", 2)[1]) if head else 0
        self.buffer = b""

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def recv(self):
        """The next text message; EOFError when the server closed."""
        message = b""
        while True:
            b0, b1 = self._read(2)
            size = b1 & 0x7F
            if size == 126:
                size = struct.unpack(">H", self._read(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(size)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise EOFError("close frame")
            if opcode == 9:
                self._send(0xA, payload)
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()

    def _send(self, opcode, payload):
        mask = os.urandom(4)
        size = len(payload)
        head = bytes([0x80 | opcode])
        if size < 126:
            head += bytes([0x80 | size])
        else:
            head += bytes([0x80 | 126]) + struct.pack(">H", size)
        self.sock.sendall(head + mask + bytes(c ^ mask[i % 4] for i, c in enumerate(payload)))

    def send_text(self, text):
        self._send(1, text.encode())

    def close(self):
        self.sock.close()

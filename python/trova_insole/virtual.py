"""A virtual insole for Python hosts: `insole virtual --stdio` in a child process.

    from trova_insole import VirtualInsole, Parser
    import trova_insole_sdk as sdk

    parser = Parser()
    with VirtualInsole(foot="left", on_notification=lambda data: print(parser.feed(data))) as insole:
        insole.write(sdk.build_enable_sensor_stream_request(1, 50))
        time.sleep(1)

or, in asyncio code, `async for data in insole.notifications(): ...`.
"""

from __future__ import annotations

import asyncio
import os
import subprocess
import threading
from typing import AsyncIterator, Callable, Optional, Union

from .export import _tool

BytesLike = Union[bytes, bytearray, memoryview]


class VirtualInsole:
    """One virtual insole: write() takes the frames a host writes, and the
    notifications come to on_notification (on a reader thread) or through the
    notifications() async iterator. Extra command-line options of
    `insole virtual` go in `options` (for example ["--gait", "running"]).
    `number` tells insoles run side by side apart: the n-th reports serial
    VI000000n and MAC 02:00:00:00:00:0n."""

    def __init__(self, foot: str = "left", on_notification: Optional[Callable[[bytes], object]] = None,
                 mtu: int = 244, seed: int = 1, options: Optional[list[str]] = None, number: int = 1) -> None:
        argv = [_tool(), "virtual", "--stdio", "--foot", foot, "--mtu", str(mtu), "--seed", str(seed),
                "--number", str(number), *(options or [])]
        self._process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self._callback = on_notification
        self._queue: Optional[asyncio.Queue[Optional[bytes]]] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, name="virtual-insole", daemon=True)
        self._reader.start()

    def write(self, frame: BytesLike) -> None:
        """Hand the insole bytes the host writes (one frame, or any piece of one)."""
        stdin = self._process.stdin
        if stdin is None or stdin.closed:
            raise ValueError("the virtual insole is closed")
        with self._lock:
            stdin.write(bytes(frame))
            stdin.flush()

    def _read(self) -> None:
        stdout = self._process.stdout
        assert stdout is not None
        while True:
            data = os.read(stdout.fileno(), 65536)
            if self._callback is not None and data:
                self._callback(data)
            if self._queue is not None and self._loop is not None:
                self._loop.call_soon_threadsafe(self._queue.put_nowait, data or None)
            if not data:
                return

    async def notifications(self) -> AsyncIterator[bytes]:
        """The insole's notification bytes as they arrive, until it ends."""
        self._loop = asyncio.get_running_loop()
        self._queue = asyncio.Queue()
        while True:
            data = await self._queue.get()
            if data is None:
                return
            yield data

    def close(self) -> None:
        """End the insole: close its input and wait for the process."""
        if self._process.stdin and not self._process.stdin.closed:
            self._process.stdin.close()
        try:
            self._process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._reader.join(timeout=5)

    def __enter__(self) -> "VirtualInsole":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


__all__ = ["VirtualInsole"]

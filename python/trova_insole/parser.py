"""A stream parser for the bytes BLE libraries actually hand to handlers."""

from __future__ import annotations

import json
from typing import Any, Union

import trova_insole_sdk as _sdk

BytesLike = Union[bytes, bytearray, memoryview]


class Parser:
    """Reassembles one insole's notifications and returns each message as a dict.

    `trova_insole_sdk.StreamParser.push` takes `bytes` only, while BLE libraries
    pass notification handlers a `bytearray` (or a `memoryview`). `feed` takes
    any of them, so a handler can hand its argument over as it is.
    """

    def __init__(self, strict_crc: bool = False, legacy_pressure_fallback: bool = True) -> None:
        self._stream = _sdk.StreamParser(strict_crc=strict_crc, legacy_pressure_fallback=legacy_pressure_fallback)

    def feed(self, data: BytesLike) -> list[dict[str, Any]]:
        """Feed notification bytes; return the messages they complete, in order.

        Raises ValueError like StreamParser.push when a payload does not decode;
        the messages around it come back from the next call, nothing is lost.
        """
        if isinstance(data, (bytearray, memoryview)):
            data = bytes(data)
        elif not isinstance(data, bytes):
            raise TypeError(f"feed() takes bytes, bytearray or memoryview, not {type(data).__name__}")
        return [json.loads(text) for text in self._stream.push(data)]

    def buffered_len(self) -> int:
        """Bytes waiting for the rest of their frame."""
        return self._stream.buffered_len()

    def stats(self) -> dict[str, Any]:
        """The counters of the underlying StreamParser."""
        return self._stream.stats()

    def reset(self) -> None:
        """Empty the buffer and set the counters and the sequence check back to their start."""
        self._stream.reset()

"""Virtual insoles presented the way bleak presents real ones.

ble_host.py --virtual swaps bleak for this module: the scanner "hears" a left
and a right virtual insole, each advertising the manufacturer data that tells
its foot; the client connects by starting `insole virtual --stdio` for it,
hands its notifications to the handler as bytearrays (as bleak does) and
passes writes on. The rest of the host runs unchanged.

Needs the insole tool (INSOLE_BIN, the venv's bin, or PATH).
"""

import asyncio
from dataclasses import dataclass, field

import trova_insole_sdk as sdk
from trova_insole import VirtualInsole


@dataclass
class BLEDevice:
    address: str
    name: str
    foot: str = "left"


@dataclass
class AdvertisementData:
    manufacturer_data: dict = field(default_factory=dict)
    rssi: int = -55
    local_name: str = ""


# One of each foot. The manufacturer payload's first byte names the foot:
# 2 left, 3 right. The n-th device is virtual insole number n, which reports
# the address it advertises as its MAC.
DEVICES = [
    (BLEDevice("02:00:00:00:00:01", "Virtual Insole L", "left"), {sdk.COMPANY_ID_TROVA: bytes([2, 0])}),
    (BLEDevice("02:00:00:00:00:02", "Virtual Insole R", "right"), {sdk.COMPANY_ID_TROVA: bytes([3, 0])}),
]


class BleakScanner:
    def __init__(self, detection_callback=None, **_options):
        self._callback = detection_callback

    async def __aenter__(self):
        loop = asyncio.get_running_loop()
        for delay, (device, data) in enumerate(DEVICES):
            advertisement = AdvertisementData(dict(data), local_name=device.name)
            loop.call_later(0.05 * (delay + 1), self._callback, device, advertisement)
        return self

    async def __aexit__(self, *_exc):
        return False


class BleakClient:
    def __init__(self, device, disconnected_callback=None, timeout=10.0, **_options):
        self._device = device
        self._on_disconnect = disconnected_callback
        self._insole = None
        self._handlers = []
        self._loop = None

    @property
    def is_connected(self):
        return self._insole is not None

    async def connect(self):
        self._loop = asyncio.get_running_loop()
        number = next(n for n, (device, _) in enumerate(DEVICES, 1) if device.address == self._device.address)
        # One seed for both feet: one walker, whose feet step in turn.
        self._insole = VirtualInsole(foot=self._device.foot, seed=1, number=number, on_notification=self._deliver)
        return True

    def _deliver(self, data):  # on the insole's reader thread
        loop = self._loop
        for uuid, handler in list(self._handlers):
            if loop is not None:
                loop.call_soon_threadsafe(handler, uuid, bytearray(data))

    async def start_notify(self, uuid, handler):
        self._handlers.append((uuid, handler))

    async def stop_notify(self, uuid):
        self._handlers = [(u, h) for u, h in self._handlers if u != uuid]

    async def write_gatt_char(self, _uuid, data, response=False):
        if self._insole is None:
            raise RuntimeError("not connected")
        self._insole.write(data)

    async def disconnect(self):
        insole, self._insole = self._insole, None
        if insole is not None:
            await asyncio.get_running_loop().run_in_executor(None, insole.close)
        return True

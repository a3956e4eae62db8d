#!/usr/bin/env python3
"""Stream a pair of insoles over BLE and print every message as a JSON line.

The program scans for insoles, tells the left one from the right one by their
advertisements, connects to each, subscribes to its notifications and asks it
to stream. Every notification goes to a StreamParser of that insole, and each
message it completes is printed on stdout as one JSON line:

    {"foot":"left","address":"C0:FF:EE:00:00:01","message":{"sensorData":{...}}}

The parser is made with the insole's device id, so it also hands what it
decodes for the rest of the SDK on: device events (wear on/off, charging,
power-off) reach the SDK's device event callback and come out as lines with an
"event" member instead of "message", and the SDK's live gait detector (enabled
for each insole) reports every initial contact and foot off as a line with a
"gait" member: its time (s, insole clock), the load (newtons, or the insole's
device units) and, when a contact closes a stride, the stride's times:

    {"foot":"left","address":"...","gait":{"type":"contact","time_s":4.12,...,"stride":{"stride_s":1.11,...}}}

Each closed stride is also summed up on stderr as it happens
("left stride 1.112 s: stance 0.667 s (60.0 %), swing 0.445 s"). With --dfu FIRMWARE the first insole is
updated while it streams, the update hears the insole's answers from the same
parser, and its progress comes as lines with a "dfu" member. Progress and
problems go to stderr, so stdout stays machine-readable.

Without hardware, --virtual runs virtual insoles (the SDK's `insole virtual`)
in place of the radio, and the rest of the host runs unchanged:

    $ python3 ble_host.py --virtual --seconds 3 > virtual.jsonl
    $ head -c 20000 /dev/urandom > firmware.bin && python3 ble_host.py --virtual --seconds 2 --dfu firmware.bin | grep -c dfu

With insoles in range and a BLE adapter:

    python3 ble_host.py --seconds 30 > session.jsonl
    python3 ble_host.py --only left --rate 100 --record capture

With --record FILE.mcap every notification is also kept in an MCAP capture,
one channel per insole with the receive times (`insole export` and
trova_insole.read_capture read it); with --record PREFIX (no .mcap) the raw
bytes of each insole go to PREFIX-left.bin / PREFIX-right.bin, which
plot_capture.py plots. --feed - writes the same capture as a live feed on
stdout (the JSON lines are then not printed), --feed HOST:PORT sends it to a
tool listening there (`insole record FILE.mcap --feed HOST:PORT`):

    $ python3 ble_host.py --virtual --seconds 2 --record session.mcap && insole export session.mcap | wc -l
    $ python3 ble_host.py --virtual --seconds 3 --feed - | insole record live.mcap --feed -
Ctrl-C (or SIGTERM) ends the run early: the stream is stopped and the insoles
disconnected before the program exits.

Needs the `bleak` package (Debian: python3-bleak) and the trova_insole_sdk
module on PYTHONPATH.
"""

import argparse
import asyncio
import contextlib
import json
import os
import pathlib
import signal
import socket
import sys
from collections.abc import Mapping
from dataclasses import dataclass

import trova_insole_sdk as sdk

# The SDK only names the insole's two characteristics TX and RX. This host
# takes TX as the insole's transmit side (it notifies us) and RX as its
# receive side (we write commands to it). --notify rx swaps the two, for
# firmware that has them the other way round.
CHARACTERISTIC_ROLES = {
    "tx": (sdk.INSOLE_TX_UUID, sdk.INSOLE_RX_UUID),  # (notify from, write to)
    "rx": (sdk.INSOLE_RX_UUID, sdk.INSOLE_TX_UUID),
}
DEFAULT_NOTIFY = "tx"
NOTIFY_UUID, WRITE_UUID = CHARACTERISTIC_ROLES[DEFAULT_NOTIFY]

SIDE_NAMES = {sdk.DEVICE_LEFT: "left", sdk.DEVICE_RIGHT: "right"}
SIDES_BY_NAME = {name: side for side, name in SIDE_NAMES.items()}

BATTERY_POLL_SECONDS = 60.0
DFU_COMPLETED, DFU_ENDS = 6, (6, 7, 8)  # progress states: completed; completed, failed, aborted


def log(*parts):
    print("ble_host:", *parts, file=sys.stderr, flush=True)


# --- discovery ---------------------------------------------------------------

@dataclass
class FoundInsole:
    device: object  # bleak's BLEDevice, or anything BleakClient accepts
    address: str
    name: str
    side: int
    rssi: int

    @property
    def side_name(self):
        return SIDE_NAMES[self.side]


def insole_side(advertisement):
    """The foot side an advertisement announces, or None if it is not an insole's."""
    data = getattr(advertisement, "manufacturer_data", None) or {}
    if not any(company in data for company in sdk.INSOLE_MANUFACTURER_IDS):
        return None
    try:
        return sdk.parse_foot_side(dict(data))
    except (TypeError, OverflowError):
        return None  # malformed manufacturer data: not an insole we can use


def find_insoles(scan_results):
    """Pick at most one left and one right insole out of scan results.

    `scan_results` is what BleakScanner.discover(return_adv=True) gives (a
    mapping of address to (device, advertisement)) or any iterable of such
    pairs. When several insoles announce the same side, the one heard with the
    strongest signal wins. Returns {DEVICE_LEFT: FoundInsole, ...}.
    """
    pairs = scan_results.values() if isinstance(scan_results, Mapping) else scan_results
    found: dict[int, FoundInsole] = {}
    for device, advertisement in pairs:
        side = insole_side(advertisement)
        if side is None:
            continue
        rssi = getattr(advertisement, "rssi", None)
        if rssi is None:
            rssi = -127
        candidate = FoundInsole(device, device.address, device.name or "", side, rssi)
        best = found.get(side)
        if best is None or candidate.rssi > best.rssi:
            found[side] = candidate
    return found


def radio(virtual):
    """bleak, or virtual insoles presented the same way (--virtual)."""
    if virtual:
        import virtual_radio
        return virtual_radio
    import bleak
    return bleak


async def scan(timeout, wanted_sides, virtual=False):
    """Listen for advertisements until every wanted side is heard or `timeout` passes."""
    BleakScanner = radio(virtual).BleakScanner

    heard = {}
    complete = asyncio.Event()

    def on_advertisement(device, advertisement):
        heard[device.address] = (device, advertisement)
        if set(wanted_sides) <= set(find_insoles(heard)):
            complete.set()

    async with BleakScanner(detection_callback=on_advertisement):
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(complete.wait(), timeout)
    found = find_insoles(heard)
    return {side: insole for side, insole in found.items() if side in wanted_sides}


# --- one connected insole ----------------------------------------------------

class InsoleSession:
    """One connected insole: its parser, its output and the commands written to it.

    `client` is a connected bleak.BleakClient (or anything with the same
    start_notify / write_gatt_char / stop_notify / disconnect coroutines).
    Each notification goes once, to this insole's StreamParser made for
    `device_id`: it gives the JSON lines, raises the device event callback and
    hands update answers to an update running for that id.
    """

    def __init__(self, client, side, *, device_id=None, address="",
                 notify_uuid=NOTIFY_UUID, write_uuid=WRITE_UUID, out=None,
                 sample_rate_hz=sdk.DEFAULT_SAMPLE_RATE_HZ, pressure_mode="raw",
                 write_response=False, record=None):
        if side not in SIDE_NAMES:
            raise ValueError(f"unknown foot side {side!r}")
        self.client = client
        self.side = side
        self.address = address
        self.device_id = device_id or address or self.side_name
        self.parser = sdk.StreamParser(device_id=self.device_id)
        self.notify_uuid = notify_uuid
        self.write_uuid = write_uuid
        self.out = out if out is not None else sys.stdout
        self.sample_rate_hz = sample_rate_hz
        self.pressure_mode = pressure_mode
        self.write_response = write_response
        self.record = record  # binary file that keeps every notification, or None
        self.captures = []  # (CaptureWriter, channel): captures and feeds that keep every notification
        self.messages = 0
        self.decode_errors = 0
        self.connected = True
        self.streaming = False
        self.closed = False
        self._msg_id = 0
        self._prefix = json.dumps({"foot": self.side_name, "address": self.address},
                                  separators=(",", ":"))[:-1]

    @property
    def side_name(self):
        return SIDE_NAMES[self.side]

    def next_msg_id(self):
        self._msg_id = self._msg_id % 0xFFFFFFFF + 1
        return self._msg_id

    # Received data -----------------------------------------------------------

    def on_notify(self, _sender, data):
        """bleak's notification handler: one notification, any part of a frame."""
        data = bytes(data)
        if self.record is not None:
            self.record.write(data)
        for capture, channel in self.captures:
            capture.write(channel, data)
        while True:
            try:
                texts = self.parser.push(data)
                break
            except ValueError as err:
                # A frame whose payload is not a valid message: report it and
                # go on with whatever the parser still holds after it.
                self.decode_errors += 1
                self._emit("error", json.dumps(str(err)))
                data = b""
        for text in texts:
            self.messages += 1
            self._emit("message", text)

    def emit_dfu(self, progress):
        self._emit("dfu", json.dumps(progress, sort_keys=True, separators=(",", ":")))

    def on_device_event(self, event):
        self._emit("event", json.dumps(event, sort_keys=True, separators=(",", ":")))

    def on_gait_event(self, event):
        self._emit("gait", json.dumps(event, sort_keys=True, separators=(",", ":")))
        stride = event.get("stride")
        if stride:
            log(f"{self.side_name} stride {stride['stride_s']:.3f} s: stance {stride['stance_s']:.3f} s "
                f"({100 * stride['stance_s'] / stride['stride_s']:.1f} %), swing {stride['swing_s']:.3f} s")

    def _emit(self, key, json_text):
        self.out.write(f'{self._prefix},"{key}":{json_text}}}\n')
        self.out.flush()

    # Commands ----------------------------------------------------------------

    async def send(self, frame):
        await self.client.write_gatt_char(self.write_uuid, frame, response=self.write_response)

    async def start(self):
        """Subscribe, ask for device information and battery, then start the stream."""
        await self.client.start_notify(self.notify_uuid, self.on_notify)
        await self.send(sdk.build_device_info_request(self.next_msg_id(), dest_id=self.side))
        await self.request_battery()
        await self.send(sdk.build_sensor_stream_config_request(
            self.next_msg_id(), dest_id=self.side, sample_rate_hz=self.sample_rate_hz,
            pressure_mode=self.pressure_mode, start_stream=True))
        self.streaming = True

    async def request_battery(self):
        await self.send(sdk.build_battery_request(self.next_msg_id(), dest_id=self.side))

    def link_lost(self):
        """The insole went away by itself: nothing is left to stop or unsubscribe."""
        self.connected = False
        self.streaming = False

    async def stop(self):
        """Stop the stream, unsubscribe and disconnect; every step runs even if one fails."""
        if self.closed:
            return
        self.closed = True
        steps = []
        if self.streaming:
            steps.append(("stop stream", lambda: self.send(
                sdk.build_stop_sensor_stream_request(self.next_msg_id(), dest_id=self.side))))
        if self.connected:
            steps.append(("unsubscribe", lambda: self.client.stop_notify(self.notify_uuid)))
        steps.append(("disconnect", self.client.disconnect))
        for what, step in steps:
            try:
                await step()
            except Exception as err:  # the link may have gone meanwhile
                log(f"{self.side_name}: {what} failed: {err}")
        self.streaming = False
        self.connected = False

    def stats(self):
        return dict(self.parser.stats(), messages=self.messages, decode_errors=self.decode_errors)


def _to_session(sessions, handle):
    """A callback that hands each event to the session of its device id."""
    by_id = {session.device_id: session for session in sessions}

    def route(device_id, event):
        session = by_id.get(device_id)
        if session is not None:
            handle(session, event)

    return route


def route_device_events(sessions):
    """Send the SDK's device events to the session they belong to."""
    on_event = _to_session(sessions, lambda session, event: session.on_device_event(event))
    sdk.register_device_event_callback(on_event)
    return on_event


def route_gait_events(sessions):
    """Switch the SDK's live gait detector on for each session and send its events there.

    The events come from each session's own parser (StreamParser made for the
    device id), on the thread that pushed the notification, after its texts."""
    on_gait = _to_session(sessions, lambda session, event: session.on_gait_event(event))
    sdk.register_gait_event_callback(on_gait)
    for session in sessions:
        sdk.enable_gait(session.device_id)
    return on_gait


async def update_firmware(session, image):
    """Update one insole with the SDK's update worker; returns True when it completed.

    The worker runs on a thread of its own: it hands frames to the BLE write
    callback, which queues them for this loop to write in order, and it hears
    the insole's answers from the session's parser (on_notify feeds it). Its
    progress reports become JSON lines with a "dfu" member.
    """
    loop = asyncio.get_running_loop()
    frames: asyncio.Queue = asyncio.Queue()
    finished = loop.create_future()

    def on_write(device_id, frame):  # the update's thread
        if device_id == session.device_id:
            loop.call_soon_threadsafe(frames.put_nowait, bytes(frame))

    def end(state):
        if not finished.done():
            finished.set_result(state)

    def on_progress(device_id, progress):  # the update's thread
        if device_id != session.device_id:
            return
        loop.call_soon_threadsafe(session.emit_dfu, progress)
        if progress["state"] in DFU_ENDS:
            loop.call_soon_threadsafe(end, progress["state"])

    sdk.register_ble_write_callback(on_write)
    sdk.register_dfu_progress_callback(on_progress)
    try:
        sdk.start_dfu(session.device_id, image)
        while not finished.done():
            getter = asyncio.ensure_future(frames.get())
            await asyncio.wait([getter, finished], return_when=asyncio.FIRST_COMPLETED)
            if getter.done():
                await session.send(getter.result())
            else:
                getter.cancel()
        return finished.result() == DFU_COMPLETED
    finally:
        sdk.register_ble_write_callback(None)
        sdk.register_dfu_progress_callback(None)


# --- the program -------------------------------------------------------------

async def connect(insole, args, out, on_lost):
    BleakClient = radio(args.virtual).BleakClient

    client = BleakClient(insole.device, disconnected_callback=lambda _client: on_lost(insole.side),
                         timeout=args.connect_timeout)
    await client.connect()
    notify_uuid, write_uuid = CHARACTERISTIC_ROLES[args.notify]
    return InsoleSession(client, insole.side, address=insole.address,
                         notify_uuid=notify_uuid, write_uuid=write_uuid, out=out,
                         sample_rate_hz=args.rate, pressure_mode=args.pressure_mode,
                         write_response=args.write_response)


async def poll_battery(sessions, stop):
    while not stop.is_set():
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(stop.wait(), BATTERY_POLL_SECONDS)
        if stop.is_set():
            return
        for session in sessions:
            if session.connected:
                with contextlib.suppress(Exception):
                    await session.request_battery()


def open_captures(args, files):
    """The MCAP capture (--record FILE.mcap) and live feed (--feed) to keep, closed by files."""
    captures: list = []
    if not args.feed and not (args.record and args.record.endswith(".mcap")):
        return captures
    from trova_insole import CaptureWriter  # the SDK's companion package, only when needed

    if args.record and args.record.endswith(".mcap"):
        out = files.enter_context(open(args.record, "wb"))
        captures.append(files.enter_context(CaptureWriter(out, metadata={"source": "ble_host.py"})))
    if args.feed == "-":
        captures.append(files.enter_context(CaptureWriter(sys.stdout.buffer, metadata={"source": "ble_host.py"}, live=True)))
    elif args.feed:
        host, _, port = args.feed.rpartition(":")
        link = files.enter_context(socket.create_connection((host, int(port))))
        link.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        out = files.enter_context(link.makefile("wb"))
        captures.append(files.enter_context(CaptureWriter(out, metadata={"source": "ble_host.py"}, live=True)))
    return captures


async def run(args, out=None):
    # With the feed on stdout the JSON lines have nowhere to go.
    out = out if out is not None else open(os.devnull, "w") if args.feed == "-" else sys.stdout
    wanted = [SIDES_BY_NAME[args.only]] if args.only else [sdk.DEVICE_LEFT, sdk.DEVICE_RIGHT]
    log(f"scanning up to {args.scan_timeout:g} s for {' and '.join(SIDE_NAMES[s] for s in wanted)} insole(s)")
    try:
        found = await scan(args.scan_timeout, wanted, args.virtual)
    except Exception as err:  # no adapter, no BlueZ, no permission...
        log(f"cannot scan: {type(err).__name__}: {err} (is a Bluetooth adapter available and on?)")
        return 1
    if not found:
        log("no insole found")
        return 1
    for side in wanted:
        if side not in found:
            log(f"no {SIDE_NAMES[side]} insole found; going on without it")

    stop = asyncio.Event()
    sessions: list[InsoleSession] = []

    def on_lost(side):
        log(f"{SIDE_NAMES[side]} insole disconnected")
        for session in sessions:
            if session.side == side:
                session.link_lost()
        if sessions and not any(session.connected for session in sessions):
            stop.set()

    with contextlib.ExitStack() as files:
        captures = open_captures(args, files)
        try:
            for insole in (found[side] for side in sorted(found)):
                log(f"connecting to {insole.side_name} insole {insole.address} {insole.name!r} (RSSI {insole.rssi})")
                try:
                    session = await connect(insole, args, out, on_lost)
                except Exception as err:
                    log(f"cannot connect to {insole.side_name} insole: {err}")
                    continue
                if args.record and not args.record.endswith(".mcap"):
                    session.record = files.enter_context(open(f"{args.record}-{insole.side_name}.bin", "wb"))
                session.captures = [(c, c.add_insole(session.device_id, insole.side_name)) for c in captures]
                sessions.append(session)
            if not sessions:
                return 1
            # From here on Ctrl-C and SIGTERM end the wait below instead of
            # cancelling mid-command, so the clean-up always runs in full.
            loop = asyncio.get_running_loop()
            for signum in (signal.SIGINT, signal.SIGTERM):
                with contextlib.suppress(NotImplementedError, AttributeError, RuntimeError):
                    loop.add_signal_handler(signum, stop.set)
            route_device_events(sessions)
            route_gait_events(sessions)
            started = 0
            for session in sessions:
                try:
                    await session.start()
                    started += 1
                except Exception as err:
                    log(f"{session.side_name}: cannot start the stream: {err} "
                        f"(does this firmware notify on the other characteristic? try --notify)")
            if not started:
                return 1
            log(f"streaming for {args.seconds:g} s; Ctrl-C stops")
            poller = asyncio.create_task(poll_battery(sessions, stop))
            if args.dfu:
                target = sessions[0]
                log(f"{target.side_name}: updating the firmware with {args.dfu}")
                ok = await update_firmware(target, pathlib.Path(args.dfu).read_bytes())
                log(f"{target.side_name}: firmware update {'completed' if ok else 'did not complete'}")
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(stop.wait(), args.seconds)
            stop.set()
            await poller
        finally:
            for session in sessions:
                await session.stop()
            sdk.register_device_event_callback(None)
            sdk.register_gait_event_callback(None)
            for session in sessions:
                sdk.enable_gait(session.device_id, False)
            for session in sessions:
                log(f"{session.side_name}: {json.dumps(session.stats())}")
    return 0


def parse_args(argv=None):
    p = argparse.ArgumentParser(description="Stream BLE insoles and print their messages as JSON lines.")
    p.add_argument("--seconds", type=float, default=10.0, help="how long to stream (default 10)")
    p.add_argument("--scan-timeout", type=float, default=10.0, help="how long to scan at most (default 10)")
    p.add_argument("--connect-timeout", type=float, default=15.0, help="connection timeout per insole (default 15)")
    p.add_argument("--only", choices=sorted(SIDES_BY_NAME), help="connect to one foot only")
    p.add_argument("--rate", type=int, default=sdk.DEFAULT_SAMPLE_RATE_HZ,
                   help=f"sample rate in Hz (default {sdk.DEFAULT_SAMPLE_RATE_HZ})")
    p.add_argument("--pressure-mode", choices=["raw", "calibrated", "both"], default="raw")
    p.add_argument("--notify", choices=sorted(CHARACTERISTIC_ROLES), default=DEFAULT_NOTIFY,
                   help="characteristic that notifies; commands go to the other one (default tx)")
    p.add_argument("--write-response", action="store_true", help="write commands with response")
    p.add_argument("--dfu", metavar="FIRMWARE",
                   help="while streaming, update the first insole (left, or --only) with this image")
    p.add_argument("--virtual", action="store_true",
                   help="no radio: run virtual insoles (the SDK's insole tool) instead of BLE ones")
    p.add_argument("--record", metavar="FILE",
                   help="also keep the notifications in FILE.mcap (or, without .mcap, in FILE-left.bin / FILE-right.bin)")
    p.add_argument("--feed", metavar="-|HOST:PORT",
                   help="also send the notifications as a live feed to stdout (-) or to a tool listening on HOST:PORT")
    args = p.parse_args(argv)
    if args.feed and args.feed != "-" and not args.feed.rpartition(":")[2].isdigit():
        p.error("--feed needs - or HOST:PORT")
    if args.seconds <= 0 or args.scan_timeout <= 0:
        p.error("--seconds and --scan-timeout must be positive")
    return args


def main(argv=None):
    args = parse_args(argv)
    try:
        radio(args.virtual)
    except ImportError:
        log("the bleak package is needed (Debian: apt-get install python3-bleak)")
        return 2
    try:
        return asyncio.run(run(args))
    except KeyboardInterrupt:  # only where signal handlers are unavailable
        return 130


if __name__ == "__main__":
    sys.exit(main())

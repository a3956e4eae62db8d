"""Host-side SDK for a pair of BLE sensor insoles."""

from typing import Any, Callable, Mapping, Optional, Sequence, SupportsIndex, Union

__version__: str
DEVICE_LEFT: int
DEVICE_RIGHT: int
PRESSURE_CHANNELS: int
SHEAR_CHANNELS: int
DEFAULT_SAMPLE_RATE_HZ: int
COMPANY_ID_TROVA: int
COMPANY_ID_LEGACY: int
INSOLE_MANUFACTURER_IDS: tuple[int, int]
INSOLE_SERVICE_UUID: str
INSOLE_TX_UUID: str
INSOLE_RX_UUID: str

_Bytes = Union[bytes, bytearray, Sequence[SupportsIndex]]

class GaitDetector:
    """One foot's gait events and strides, the SDK's own detector fed by the host."""

    def __init__(self) -> None: ...
    def push(self, time_s: float, load: float) -> list[dict[str, Any]]:
        """One sample: device time in seconds (increasing) and the total load; the events it decides."""
    def push_many(self, times: Sequence[float], loads: Sequence[float], gaps: Optional[Sequence[bool]] = None,
                  skip_repeats: bool = False) -> list[dict[str, Any]]:
        """push() over arrays; each event has "row", the position of the deciding sample."""
    def mark_gap(self) -> None:
        """Frames were lost before the next sample: the open stride is marked."""


class StreamParser:
    """Reassembles insole frames from notification bytes and returns each message as JSON text."""

    def __init__(self, strict_crc: bool = False, legacy_pressure_fallback: bool = True, *,
                 device_id: Optional[str] = None) -> None:
        """strict_crc drops frames whose CRC does not match; legacy_pressure_fallback fills an empty pressure list from raw_pressure.

        With device_id (by keyword; a str without NUL), the parser is the insole's one road into the SDK: push also hands each device event it decodes to the device event callback, and each update answer to a firmware update running for device_id, in stream order, on the calling thread, once the texts are made (so a callback may push into this parser again). Do not feed the same bytes to feed_received_data as well. Without it, the parser touches no SDK state."""
    def push(self, data: bytes) -> list[str]:
        """Feed notification bytes; return one JSON text per completed message, in order.

        data must be bytes (or a subclass): a bytearray, memoryview, array or any other buffer raises TypeError and leaves the parser as it was, so convert with bytes(data). Raises ValueError when a payload does not decode; the messages around it come back from the next push (their events and update answers are handed on as they decode)."""
    def buffered_len(self) -> int:
        """Number of bytes held back waiting for the rest of their frame."""
    def stats(self) -> dict[str, Optional[int]]:
        """The seven counters (frames, CRC and decode errors, overflows, lost packets, ...) by name."""
    def reset_stats(self) -> None:
        """Set the counters to zero and forget the last sequence number; buffered bytes stay."""
    def reset(self) -> None:
        """Empty the buffer and set the counters and the sequence check back to their start."""

def build_device_info_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame asking the insole for its device information."""
def build_battery_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame asking the insole for its battery state."""
def build_runtime_info_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame asking the insole for its runtime information."""
def build_sensor_config_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame asking the insole for its sensor configuration."""
def build_device_status_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame asking the insole for its device status."""
def build_enable_sensor_stream_request(msg_id: int, sample_rate_hz: int, dest_id: int = 2) -> bytes:
    """Frame that configures the sensors at sample_rate_hz and starts the stream."""
def build_sensor_stream_config_request(
    msg_id: int,
    dest_id: int = 2,
    sample_rate_hz: int = 50,
    pressure_mode: str = "raw",
    shear_mode: str = "calibrated",
    imu_mode: str = "calibrated",
    pressure_enabled: bool = True,
    shear_enabled: bool = False,
    acc_enabled: bool = True,
    gyro_enabled: bool = True,
    start_stream: bool = True,
) -> bytes:
    """Frame that sets rate, modes ("raw", "calibrated" or "both") and enabled sensors, and starts or stops the stream."""
def build_set_sensor_config_request(msg_id: int, sample_rate_hz: int, dest_id: int = 2) -> bytes:
    """Frame that sets the sensor configuration (sample rate) without starting the stream."""
def build_start_sensor_stream_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame that starts the sensor stream."""
def build_stop_sensor_stream_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame that stops the sensor stream."""
def build_get_factory_config_request(msg_id: int, dest_id: int = 2) -> bytes:
    """Frame asking the insole for its factory configuration."""
def build_set_factory_config_request(
    msg_id: int,
    serial_number: str,
    device_id: int,
    model_name: str,
    mac_address: str,
    factory_key: str,
    dest_id: int = 2,
) -> bytes:
    """Frame that writes the insole's factory configuration."""
def calibrate_pressure(resistances: Sequence[int], device_id: int) -> list[float]:
    """Convert resistance values in ohms to calibrated normal load values in newtons."""
def derive_shear(resistances: Sequence[int], device_id: int) -> list[tuple[float, float, float]]:
    """Derive (force_x, force_y, normal_force) in newtons from resistance values in ohms."""
def register_ble_write_callback(cb: Optional[Callable[[str, bytes], Any]]) -> None:
    """Set the callback that writes update frames to an insole: cb(device_id, frame); None clears it."""
def register_device_event_callback(cb: Optional[Callable[[str, dict[str, int]], Any]]) -> None:
    """Set the callback for device events (wear, charging, power-off): cb(device_id, event); None clears it."""
def register_gait_event_callback(cb: Optional[Callable[[str, dict[str, Any]], Any]]) -> None:
    """Set the callback for live gait events of the ids enable_gait switched on: cb(device_id, event); None clears it.

    event: type ("contact" or "foot_off"), time_s (s, insole clock), load (load_unit "N" or "device units"), foot
    (2 left, 3 right, 0 none), seq_num, sample_index, decided_index, and stride (contact_s, foot_off_s,
    next_contact_s, stride_s, stance_s, swing_s in seconds, flags) when the contact closed one, else None."""
def enable_gait(device_id: str, enable: bool = True) -> None:
    """Start or stop live gait events for one insole (feed_received_data and StreamParser(device_id=...))."""
def register_dfu_progress_callback(cb: Optional[Callable[[str, dict[str, Any]], Any]]) -> None:
    """Set the callback for firmware-update progress: cb(device_id, progress); None clears it."""
def start_dfu(device_id: str, firmware: _Bytes) -> None:
    """Start a firmware update of device_id on a worker thread; frames go out through the BLE write callback."""
def start_mock_dfu(device_id: str) -> None:
    """Run the simulated insole's scripted firmware update for device_id (a fixed 10,240-byte exchange)."""
def abort_dfu(device_id: str) -> None:
    """Abort the running firmware update of device_id; a no-op when none runs."""
def feed_received_data(device_id: str, data: _Bytes) -> None:
    """Hand one notification of device_id to the SDK's receive path; callbacks run on this thread. A host that reads messages with StreamParser(device_id=...) needs not call this."""
def parse_foot_side(manufacturer_data: Mapping[int, _Bytes]) -> Optional[int]:
    """Foot side (DEVICE_LEFT or DEVICE_RIGHT) from an advertisement's manufacturer data, or None."""

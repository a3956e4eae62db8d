"""Insole frames laid out by hand, independently of the SDK: the Python and
tool tests and the fuzz seed generator build their input with these."""


def crc16(data):  # CRC-16/MODBUS, bit by bit
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(payload, dest=2, bad_crc=False, version=2, frame_type=0x21):
    """Magic, version, type, payload length, then (version 2 only) source 1,
    destination and reserved 0, the payload and its CRC; a message is
    serialized first. With bad_crc the stored CRC is one off."""
    if not isinstance(payload, (bytes, bytearray)):
        payload = payload.SerializeToString()
    head = b"TRVA" + bytes([version, frame_type]) + len(payload).to_bytes(2, "little")
    if version == 2:
        head += bytes([1, dest, 0])
    body = head + bytes(payload)
    return body + (crc16(body) ^ bad_crc).to_bytes(2, "little")

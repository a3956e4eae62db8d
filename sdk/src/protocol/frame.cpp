#include "protocol/frame.h"

#include <cstring>

#include "protocol/crc16.h"
#include "util/hex.h"

namespace tvis::protocol {

std::string FrameError::to_string() const {
  switch (kind) {
    case Kind::InvalidLength:
      return "invalid frame length: " + std::to_string(length);
    case Kind::PayloadTooLarge:
      return "payload too large: " + std::to_string(length) + " > " + std::to_string(max);
    case Kind::InvalidMagic:
      return "invalid magic bytes";
    case Kind::InvalidCrc:
      return "invalid crc16: expected " + hex_u16(expected) + ", calculated " + hex_u16(calculated);
    case Kind::Decode:
      return "protobuf decode error: " + decode_text;
  }
  return {};
}

Result<void, FrameError> DecodedFrame::check_crc() const {
  if (crc_ok()) return {};
  FrameError e;
  e.kind = FrameError::Kind::InvalidCrc;
  e.expected = stored_crc;
  e.calculated = calculated_crc;
  return e;
}

namespace {

FrameError too_large(size_t len) {
  FrameError e;
  e.kind = FrameError::Kind::PayloadTooLarge;
  e.length = len;
  e.max = MAX_PAYLOAD_LEN;
  return e;
}

FrameError invalid_length(size_t len) {
  FrameError e;
  e.kind = FrameError::Kind::InvalidLength;
  e.length = len;
  return e;
}

}  // namespace

void encode_frame_into(const FrameHeader& header, std::span<const uint8_t> payload, uint8_t* out) {
  const size_t h = header_len(header.version);
  std::memcpy(out, kMagic, 4);
  out[4] = header.version;
  out[5] = header.frame_type;
  out[6] = static_cast<uint8_t>(payload.size() & 0xFF);
  out[7] = static_cast<uint8_t>(payload.size() >> 8);
  if (header.version == 2) {
    out[8] = header.src_id.value_or(kHostId);
    out[9] = header.dest_id.value_or(kDefaultDestId);
    out[10] = header.reserved.value_or(0);
  }
  if (!payload.empty()) std::memcpy(out + h, payload.data(), payload.size());
  uint16_t crc = crc16_modbus(out, h + payload.size());
  out[h + payload.size()] = static_cast<uint8_t>(crc & 0xFF);
  out[h + payload.size() + 1] = static_cast<uint8_t>(crc >> 8);
}

Result<std::vector<uint8_t>, FrameError> encode_frame(const FrameHeader& header,
                                                      std::span<const uint8_t> payload) {
  if (payload.size() > MAX_PAYLOAD_LEN) return too_large(payload.size());
  std::vector<uint8_t> out(frame_len(header.version, payload.size()));
  encode_frame_into(header, payload, out.data());
  return out;
}

Result<FrameView, FrameError> decode_frame_view(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  if (n < kMinFrameLen) return invalid_length(n);
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) {
    FrameError e;
    e.kind = FrameError::Kind::InvalidMagic;
    return e;
  }
  const size_t payload_len = frame_payload_len(bytes.data());
  if (payload_len > MAX_PAYLOAD_LEN) return too_large(payload_len);
  const size_t h = header_len(bytes[4]);
  if (n != h + payload_len + kCrcLen) return invalid_length(n);

  FrameView view;
  view.calculated_crc = crc16_modbus(bytes.data(), h + payload_len);
  view.stored_crc = static_cast<uint16_t>(bytes[h + payload_len] | (bytes[h + payload_len + 1] << 8));
  view.header.version = bytes[4];
  view.header.frame_type = bytes[5];
  if (bytes[4] == 2) {
    view.header.src_id = bytes[8];
    view.header.dest_id = bytes[9];
    view.header.reserved = bytes[10];
  }
  view.payload = bytes.subspan(h, payload_len);
  return view;
}

Result<DecodedFrame, FrameError> decode_frame(std::span<const uint8_t> bytes) {
  auto view = decode_frame_view(bytes);
  if (!view) return view.error();
  return DecodedFrame{view->to_frame(), view->stored_crc, view->calculated_crc};
}

}  // namespace tvis::protocol

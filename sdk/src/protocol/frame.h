// The frame on the BLE link: magic "TRVA", an 8-byte header (11 bytes when the
// version is 2), the protobuf payload and a CRC-16/MODBUS trailer, all
// little-endian. The codec is pure: no state, no locks, no logging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/result.h"

namespace tvis::protocol {

inline constexpr uint8_t kMagic[4] = {0x54, 0x52, 0x56, 0x41};  // "TRVA"
inline constexpr size_t MAX_PAYLOAD_LEN = 16384;
inline constexpr size_t kShortHeaderLen = 8;
inline constexpr size_t kExtendedHeaderLen = 11;
inline constexpr size_t kCrcLen = 2;
inline constexpr size_t kMinFrameLen = kShortHeaderLen + kCrcLen;

// What every frame this SDK builds carries.
inline constexpr uint8_t kFrameVersion = 2;
inline constexpr uint8_t kFrameType = 0x21;
inline constexpr uint8_t kHostId = 1;
inline constexpr uint8_t kDefaultDestId = 2;

inline constexpr size_t header_len(uint8_t version) {
  return version == 2 ? kExtendedHeaderLen : kShortHeaderLen;
}

// The payload length a frame's header declares (little-endian, bytes 6 and
// 7); header points at the magic and holds at least eight bytes.
inline size_t frame_payload_len(const uint8_t* header) {
  return header[6] | (static_cast<size_t>(header[7]) << 8);
}

struct FrameHeader {
  uint8_t version = kFrameVersion;
  uint8_t frame_type = kFrameType;
  // Present after decoding exactly when version is 2; when encoding, absent
  // values are written as 1, 2 and 0.
  std::optional<uint8_t> src_id;
  std::optional<uint8_t> dest_id;
  std::optional<uint8_t> reserved;

  bool operator==(const FrameHeader&) const = default;
};

struct Frame {
  FrameHeader header;
  std::vector<uint8_t> payload;

  bool operator==(const Frame&) const = default;
};

struct FrameError {
  enum class Kind { InvalidLength, PayloadTooLarge, InvalidMagic, InvalidCrc, Decode };

  Kind kind = Kind::InvalidLength;
  size_t length = 0;         // InvalidLength: the input length; PayloadTooLarge: the actual length
  size_t max = 0;            // PayloadTooLarge: 16384
  uint16_t expected = 0;     // InvalidCrc: the CRC stored in the frame
  uint16_t calculated = 0;   // InvalidCrc: the CRC computed over the frame
  std::string decode_text;   // Decode: the payload decode failure

  std::string to_string() const;
  bool operator==(const FrameError&) const = default;
};

// A decoded frame whose payload still lives in the caller's bytes.
struct FrameView {
  FrameHeader header;
  std::span<const uint8_t> payload;
  uint16_t stored_crc = 0;
  uint16_t calculated_crc = 0;

  bool crc_ok() const { return stored_crc == calculated_crc; }
  Frame to_frame() const { return Frame{header, {payload.begin(), payload.end()}}; }
};

// A decoded frame that owns its payload, with the CRC verdict beside it: the
// frame is decoded even when the CRC does not match, so a lenient caller can
// still use it and a strict one can report check_crc()'s error.
struct DecodedFrame {
  Frame frame;
  uint16_t stored_crc = 0;
  uint16_t calculated_crc = 0;

  bool crc_ok() const { return stored_crc == calculated_crc; }
  Result<void, FrameError> check_crc() const;
};

// Builds the frame bytes; fails only with PayloadTooLarge (nothing allocated).
Result<std::vector<uint8_t>, FrameError> encode_frame(const FrameHeader& header,
                                                      std::span<const uint8_t> payload);

// Size of the frame encode_frame would produce.
inline size_t frame_len(uint8_t version, size_t payload_len) {
  return header_len(version) + payload_len + kCrcLen;
}

// Writes the frame into out, which must hold frame_len() bytes.
void encode_frame_into(const FrameHeader& header, std::span<const uint8_t> payload, uint8_t* out);

// Decodes one complete candidate frame (no trailing bytes). A CRC mismatch is
// not an error here: it is reported beside the frame.
Result<FrameView, FrameError> decode_frame_view(std::span<const uint8_t> bytes);
Result<DecodedFrame, FrameError> decode_frame(std::span<const uint8_t> bytes);

}  // namespace tvis::protocol

// The record layer of the capture container (MCAP): opcodes, the file magic,
// and little-endian field writers. A record is an opcode byte, a u64 length
// and that many bytes of fields; strings and byte arrays carry a u32 length,
// maps a u32 byte length of key/value pairs.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tvis::capture {

inline constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

using StringMap = std::map<std::string, std::string>;

// Appends fields to a record body.
class FieldWriter {
 public:
  explicit FieldWriter(std::vector<uint8_t>& out) : out_(out) {}

  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { le(v, 2); }
  void u32(uint32_t v) { le(v, 4); }
  void u64(uint64_t v) { le(v, 8); }
  void bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void string(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
  }
  void byte_array(std::span<const uint8_t> b) {
    u32(static_cast<uint32_t>(b.size()));
    bytes(b);
  }
  void string_map(const StringMap& map) {
    const size_t at = out_.size();
    u32(0);
    for (const auto& [key, value] : map) {
      string(key);
      string(value);
    }
    patch_u32(at, static_cast<uint32_t>(out_.size() - at - 4));
  }
  void patch_u32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void patch_u64(size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) out_[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }

 private:
  void le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t>& out_;
};

// Opens a record in out and returns the position of its length, for
// close_record() once the fields are written.
inline size_t open_record(std::vector<uint8_t>& out, Opcode op) {
  out.push_back(op);
  const size_t at = out.size();
  out.resize(at + 8);
  return at;
}

inline void close_record(std::vector<uint8_t>& out, size_t length_at) {
  FieldWriter(out).patch_u64(length_at, out.size() - length_at - 8);
}

}  // namespace tvis::capture

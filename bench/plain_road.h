// Reassembly as one would write it around a generated codec: append the piece
// to a vector, look for the magic, take each complete frame, check its CRC a
// byte at a time with the table, hand the payload on, and erase what was
// consumed. The libprotobuf side of every road comparison.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/frame.h"

namespace bench {

class PlainReassembler {
 public:
  template <class OnPayload>
  void feed(std::span<const uint8_t> piece, OnPayload&& on_payload) {
    using namespace tvis::protocol;
    buf_.insert(buf_.end(), piece.begin(), piece.end());
    size_t at = 0;
    for (;;) {
      auto found = std::search(buf_.begin() + static_cast<std::ptrdiff_t>(at), buf_.end(), kMagic, kMagic + 4);
      if (found == buf_.end()) {
        at = std::max(at, buf_.size() >= 3 ? buf_.size() - 3 : 0);  // a split magic may follow
        break;
      }
      at = static_cast<size_t>(found - buf_.begin());
      const size_t avail = buf_.size() - at;
      if (avail < 5) break;
      const size_t h = header_len(buf_[at + 4]);
      if (avail < h) break;
      const size_t len = buf_[at + 6] | (static_cast<size_t>(buf_[at + 7]) << 8);
      if (len > MAX_PAYLOAD_LEN) {
        ++at;
        continue;
      }
      if (avail < h + len + kCrcLen) break;
      const uint8_t* f = buf_.data() + at;
      const uint16_t stored = static_cast<uint16_t>(f[h + len] | (f[h + len + 1] << 8));
      if (crc16_modbus_bytewise(f, h + len) == stored) on_payload(f + h, len);
      at += h + len + kCrcLen;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(at));
  }

 private:
  std::vector<uint8_t> buf_;
};

}  // namespace bench

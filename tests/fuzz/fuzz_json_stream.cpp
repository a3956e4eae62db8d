// The stream-to-JSON engine behind the Python StreamParser and the command-
// line decoder: bytes in pieces, both options, errors in between. Checks
// that every text is well-formed enough to start and end as an object, that
// the counters add up, and that after an error the held-back output comes
// back on the next push.
//
// Input layout: byte 0 bit 0 strict CRC, bit 1 pressure fallback; byte 1
// chunk size (0: the whole stream in one push); the rest is the stream.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/json_stream.h"

namespace {

inline void require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  tvis::protocol::JsonStream stream((data[0] & 1) != 0, (data[0] & 2) != 0, tvis::protocol::kPythonSequenceLog);
  const size_t chunk = data[1] ? data[1] : size;
  std::vector<std::string> out;
  size_t errors = 0;
  for (size_t pos = 2; pos < size; pos += chunk) {
    const size_t n = std::min(chunk, size - pos);
    if (stream.push({data + pos, n}, out)) ++errors;
    require(stream.buffered_len() <= tvis::protocol::MAX_BUFFER_LEN);
  }
  // Drain whatever an error held back.
  for (int i = 0; i < 1 << 12; ++i) {
    if (!stream.push({}, out)) break;
    ++errors;
  }
  for (const std::string& text : out) require(text.size() >= 2 && text.front() == '{' && text.back() == '}');
  const auto& s = stream.stats();
  require(s.protobuf_errors <= errors);
  require(out.size() + s.protobuf_errors <= s.frames_received);
  return 0;
}

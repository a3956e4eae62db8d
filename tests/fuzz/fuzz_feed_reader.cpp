// A live feed arrives from any local process that connects to `record --feed
// HOST:PORT`, or from a pipe: any bytes must read without a crash, a hang or
// memory growing past one record, and every notification handed on is made
// of input bytes.
#include <cstdint>
#include <cstdio>

#include "insole/sources/feed_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (in == nullptr) return 0;
  size_t seen = 0;
  (void)insole::read_feed_notifications(
      in,
      [&](const insole::SourceEvent& e) {
        seen += e.bytes.size();
        if (e.device_id.size() > size || e.foot.empty()) __builtin_trap();
      },
      [](const std::string&) {});
  std::fclose(in);
  if (seen > size) __builtin_trap();
  return 0;
}

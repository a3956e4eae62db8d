// Capture files come from disk, pipes and sockets: any bytes must read without
// a crash, a hang or memory growing past one record.
#include <cstdint>
#include <cstdio>

#include "capture/mcap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (in == nullptr) return 0;
  size_t seen = 0;
  tvis::capture::ReadHandlers handlers;
  handlers.message = [&](const tvis::capture::Message& m) { seen += m.data.size(); };
  handlers.warning = [](const std::string&) {};
  (void)tvis::capture::read_mcap(in, handlers);
  std::fclose(in);
  if (seen > size) __builtin_trap();  // a message can only be made of input bytes
  return 0;
}

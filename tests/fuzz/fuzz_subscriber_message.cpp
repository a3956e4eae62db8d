// The bridge subscriber's handling of messages from the broker (topic, user
// properties, payload), captures kept in memory. Whatever arrives: every
// name made is one safe file name in one folder, no more captures are open
// than allowed, the counts add up, and every capture made reads back whole
// with as many messages as were counted written.
//
// Input layout: messages separated by 0x1E; in each, fields separated by
// 0x1F: the topic, the payload, then user properties as key=value. The
// payload gets the frame magic in front unless it starts with '*' (then it
// is taken as it is, less the '*'). An empty topic polls the chunks instead.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../bridge/memory_capture_files.h"
#include "capture/mcap_reader.h"
#include "insole/bridge/bridge_intake.h"
#include "protocol/frame.h"

namespace {

inline void require(bool ok) {
  if (!ok) __builtin_trap();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = text.find(separator);
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return out;
    text.remove_prefix(at + 1);
  }
}

constexpr size_t kMaxOpen = 4;
constexpr size_t kDescriptors = 3;  // fewer than kMaxOpen: running out is handled too

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  insole::MemoryCaptureFiles files(kDescriptors);
  uint64_t taken = 0;
  uint64_t written = 0;
  {
    insole::CaptureIntake intake(files, kMaxOpen);
    int64_t now = 1'700'000'000'000'000'000;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const std::string_view message : split(input, '\x1e')) {
      now += 100'000'000;
      const std::vector<std::string_view> fields = split(message, '\x1f');
      if (fields[0].empty()) {
        intake.poll(static_cast<uint64_t>(now));
        continue;
      }
      std::vector<uint8_t> payload;
      const std::string_view body = fields.size() > 1 ? fields[1] : std::string_view{};
      if (body.starts_with('*')) {
        payload.assign(body.begin() + 1, body.end());
      } else {
        payload.assign(tvis::protocol::kMagic, tvis::protocol::kMagic + 4);
        payload.insert(payload.end(), body.begin(), body.end());
      }
      std::vector<insole::UserProperty> properties;
      for (size_t i = 2; i < fields.size(); ++i) {
        const size_t eq = fields[i].find('=');
        properties.push_back({fields[i].substr(0, eq), eq == std::string_view::npos ? "" : fields[i].substr(eq + 1)});
      }
      intake.take(fields[0], properties, payload, (message.size() & 1) != 0, now);
      ++taken;
      require(intake.open_captures() <= kMaxOpen);
      require(files.open_now <= kDescriptors);
    }
    const insole::SubscribeOutcome& out = intake.finish();
    require(out.written + out.duplicates + out.not_frames + out.malformed + out.dropped <= taken);
    require(out.past_bound <= out.dropped);
    require(out.error.empty());  // memory never fails a write
    written = out.written;
  }
  require(files.unsafe_names.empty());
  require(files.open_now == 0 && !files.closed_twice);
  uint64_t read_back = 0;
  for (auto& [name, bytes] : files.files) {
    std::FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    require(f != nullptr);
    tvis::capture::ReadHandlers handlers;
    bool damaged = false;
    handlers.message = [&](const tvis::capture::Message&) { ++read_back; };
    handlers.warning = [&](const std::string&) { damaged = true; };
    require(tvis::capture::read_mcap(f, handlers).ok());
    std::fclose(f);
    require(!damaged);
  }
  require(read_back == written);
  return 0;
}

// Reads captures in the MCAP container front to back, in bounded memory: one
// record at a time (a chunk is held whole while its messages are read, and a
// chunk inside a chunk is skipped with a warning: captures never nest them),
// plus the channels, within kMaxChannelBytes. Schema records are skipped.
// Files and live feeds read alike. Damage never stops the reader early when
// something after it can still be read: a chunk whose CRC fails is reported
// with its offset and skipped, record types it does not know are skipped, and
// a cut file yields everything up to its last complete record, with a warning.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/mcap_records.h"
#include "util/result.h"

namespace tvis::capture {

struct Channel {
  uint16_t id = 0;
  uint16_t schema_id = 0;
  std::string topic, message_encoding;
  StringMap metadata;
};

struct Message {
  const Channel& channel;
  uint32_t sequence;
  uint64_t log_time_ns;
  uint64_t publish_time_ns;
  std::span<const uint8_t> data;  // valid during the call
};

struct ReadHandlers {
  std::function<void(const Channel&)> channel;
  std::function<void(const Message&)> message;
  std::function<void(const std::string& name, const StringMap&)> metadata;
  std::function<void(const std::string& warning)> warning;
};

// Reads every record of in. Fails with an error text when in is not a capture
// at all (no MCAP magic); damage further on becomes warnings.
Result<void, std::string> read_mcap(std::FILE* in, const ReadHandlers& handlers);

// The largest record the reader accepts. A length beyond it is damage (or
// not a capture): reading it would only grow memory on garbage.
inline constexpr uint64_t kMaxRecordBytes = 256ull << 20;

// The most memory the channels a reader keeps may take (their strings and
// metadata); a channel record past it is refused with a warning.
inline constexpr uint64_t kMaxChannelBytes = 16ull << 20;

}  // namespace tvis::capture

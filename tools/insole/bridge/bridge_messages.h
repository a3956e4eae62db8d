// One insole's notifications cut into the messages the bridge publishes:
// each complete frame becomes one payload (its JSON text as the decoder
// renders it, or the frame bytes themselves) and the topic it belongs on.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/json.h"
#include "protocol/message_stream.h"
#include "util/function_ref.h"

namespace insole {

// info (retained) holds what the insole is, its device information, so a
// late subscriber learns it; every other answer to a command (configuration,
// status, update steps, plain acknowledgements) goes on reply.
enum class MessageTopic { sensor, event, battery, info, reply };

std::string_view topic_name(MessageTopic topic);

class DeviceMessages final : private tvis::protocol::StreamHandler {
 public:
  explicit DeviceMessages(bool raw) : raw_(raw) {}

  // Hands out, in stream order, every message the bytes complete. A frame
  // whose CRC does not match or whose payload does not decode is counted and
  // left out: a consumer could not trust it either.
  using Sink = tvis::FunctionRef<void(MessageTopic, std::string_view payload)>;
  void push(std::span<const uint8_t> notification, Sink sink);

  uint64_t bad_frames() const {
    return stream_.stats().crc_errors + stream_.stats().protobuf_errors + unrenderable_;
  }

 private:
  bool on_message(tvis::protocol::MessageStream&, const tvis::protocol::StreamFrame& frame,
                  tvis::protocol::InsoleResp& msg, const tvis::protocol::SequenceStep*) override;

  bool raw_;
  tvis::protocol::MessageStream stream_{{tvis::protocol::CrcPolicy::strict}};
  uint64_t unrenderable_ = 0;  // decoded, but with a value the JSON rendering refuses
  tvis::protocol::TextBuffer text_;
  Sink* sink_ = nullptr;  // within push
};

}  // namespace insole

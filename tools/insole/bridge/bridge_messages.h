// One insole's notifications cut into the messages the bridge publishes:
// each complete frame becomes one payload (its JSON text as the decoder
// renders it, or the frame bytes themselves) and the topic it belongs on.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/json_stream.h"
#include "protocol/parser.h"
#include "util/function_ref.h"

namespace insole {

enum class MessageTopic { sensor, event, battery, info };

std::string_view topic_name(MessageTopic topic);

class DeviceMessages {
 public:
  explicit DeviceMessages(bool raw) : raw_(raw) {}

  // Hands out, in stream order, every message the bytes complete. A frame
  // whose CRC does not match or whose payload does not decode is counted and
  // left out: a consumer could not trust it either.
  using Sink = tvis::FunctionRef<void(MessageTopic, std::string_view payload)>;
  void push(std::span<const uint8_t> notification, Sink sink);

  uint64_t bad_frames() const { return bad_frames_; }

 private:
  void frame(const tvis::protocol::FrameView& view, Sink& sink);

  bool raw_;
  uint64_t bad_frames_ = 0;
  tvis::protocol::InsoleStreamParser parser_;
  tvis::protocol::JsonStream json_{false, true};
  tvis::protocol::TextList texts_;
  tvis::protocol::InsoleResp message_;
  tvis::protocol::DecodeError error_;
  std::vector<uint8_t> frame_bytes_;
};

}  // namespace insole

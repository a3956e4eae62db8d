#include "insole/bridge/bridge_messages.h"

#include "protocol/codec.h"
#include "protocol/frame.h"

namespace insole {

std::string_view topic_name(MessageTopic topic) {
  switch (topic) {
    case MessageTopic::sensor:
      return "sensor";
    case MessageTopic::event:
      return "event";
    case MessageTopic::battery:
      return "battery";
    case MessageTopic::info:
      break;
  }
  return "info";
}

void DeviceMessages::push(std::span<const uint8_t> notification, Sink sink) {
  parser_.feed(notification, [this, &sink](const tvis::protocol::ParserEvent& event) {
    if (auto* received = std::get_if<tvis::protocol::FrameReceived>(&event))
      frame(received->frame, sink);
    else if (std::holds_alternative<tvis::protocol::CrcMismatch>(event))
      ++bad_frames_;
  });
}

void DeviceMessages::frame(const tvis::protocol::FrameView& view, Sink& sink) {
  using namespace tvis::protocol;
  // The parser hands out the frame's parts; the frame bytes are rebuilt from
  // them (the same header and payload give the same CRC, so the same bytes).
  frame_bytes_.resize(frame_len(view.header.version, view.payload.size()));
  encode_frame_into(view.header, view.payload, frame_bytes_.data());
  if (!decode_insole_resp_into(view.payload, message_, error_)) {
    error_ = {};
    ++bad_frames_;
    return;
  }
  MessageTopic topic = MessageTopic::info;
  if (message_.sensor_data)
    topic = MessageTopic::sensor;
  else if (message_.device_event)
    topic = MessageTopic::event;
  else if (message_.battery_data)
    topic = MessageTopic::battery;
  if (raw_) {
    sink(topic, {reinterpret_cast<const char*>(frame_bytes_.data()), frame_bytes_.size()});
    return;
  }
  texts_.clear();
  if (json_.push(frame_bytes_, texts_) || texts_.empty()) {
    ++bad_frames_;
    json_.reset();
    return;
  }
  sink(topic, texts_[0]);
}

}  // namespace insole

#include "insole/bridge/bridge_messages.h"


namespace insole {

std::string_view topic_name(MessageTopic topic) {
  switch (topic) {
    case MessageTopic::sensor:
      return "sensor";
    case MessageTopic::event:
      return "event";
    case MessageTopic::battery:
      return "battery";
    case MessageTopic::reply:
      return "reply";
    case MessageTopic::info:
      break;
  }
  return "info";
}

void DeviceMessages::push(std::span<const uint8_t> notification, Sink sink) {
  sink_ = &sink;
  stream_.feed(notification, *this);
  sink_ = nullptr;
}

bool DeviceMessages::on_message(tvis::protocol::MessageStream&, const tvis::protocol::StreamFrame& frame,
                                tvis::protocol::InsoleResp& msg, const tvis::protocol::SequenceStep*) {
  MessageTopic topic = MessageTopic::reply;
  if (msg.device_info)
    topic = MessageTopic::info;
  else if (msg.sensor_data)
    topic = MessageTopic::sensor;
  else if (msg.device_event)
    topic = MessageTopic::event;
  else if (msg.battery_data)
    topic = MessageTopic::battery;
  if (raw_) {
    (*sink_)(topic, {reinterpret_cast<const char*>(frame.bytes.data()), frame.bytes.size()});
    return true;
  }
  // Rendered as `insole decode` prints it.
  tvis::protocol::apply_pressure_fallback(msg);
  text_.clear();
  if (!tvis::protocol::render_json(msg, text_)) {
    ++unrenderable_;
    return true;
  }
  (*sink_)(topic, text_.view(0, text_.size()));
  return true;
}

}  // namespace insole

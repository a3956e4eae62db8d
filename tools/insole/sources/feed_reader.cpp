#include "insole/sources/feed_reader.h"

#include "capture/mcap_reader.h"

namespace insole {

std::optional<std::string> read_feed_notifications(std::FILE* in, const SourceSink& sink,
                                                   const std::function<void(const std::string&)>& warning) {
  static const std::string kUnknown = "unknown";
  tvis::capture::ReadHandlers handlers;
  handlers.message = [&](const tvis::capture::Message& m) {
    if (m.channel.message_encoding != "insole.notification") return;  // a decoded channel, say
    auto device = m.channel.metadata.find("device_id");
    auto foot = m.channel.metadata.find("foot");
    sink(SourceEvent{SourceEvent::Kind::notification,
                     device != m.channel.metadata.end() ? device->second : m.channel.topic,
                     foot != m.channel.metadata.end() ? foot->second : kUnknown,
                     static_cast<int64_t>(m.log_time_ns), m.data});
  };
  handlers.warning = warning;
  auto read = tvis::capture::read_mcap(in, handlers);
  if (read) return std::nullopt;
  return std::move(read).error();
}

}  // namespace insole

#include "insole/capture/btsnoop_log_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "insole/capture/btsnoop_log_reader.h"
#include "capture/btsnoop_writer.h"

namespace insole {

namespace {

class SnoopOutput : public NotificationWriter {
 public:
  SnoopOutput(std::FILE* file, bool owned) : file_(file), owned_(owned), sink_(file), writer_(sink_, options()) {}
  ~SnoopOutput() override { close(); }

  void write_notification(const std::string& device, const std::string&, int64_t host_time_ns,
                          std::span<const uint8_t> bytes) override {
    writer_.write_notification(connection(device, host_time_ns), host_time_ns, bytes);
    // A recording stopped at any moment keeps what came before.
    writer_.flush();
  }

  void write_command(const std::string& device, int64_t host_time_ns, std::span<const uint8_t> bytes) override {
    writer_.write_command(connection(device, host_time_ns), host_time_ns, bytes);
    writer_.flush();
  }

  bool close() override {
    if (file_ == nullptr) return ok_;
    ok_ = writer_.flush() && !std::ferror(file_);
    if (owned_ && std::fclose(file_) != 0) ok_ = false;
    file_ = nullptr;
    return ok_;
  }

 private:
  static tvis::capture::SnoopWriterOptions options() {
    const auto ids = insole_snoop_options();
    tvis::capture::SnoopWriterOptions o;
    o.tx_uuid = ids.tx_uuid;
    o.rx_uuid = ids.rx_uuid;
    return o;
  }

  uint16_t connection(const std::string& device, int64_t at) {
    auto it = connections_.find(device);
    if (it == connections_.end()) it = connections_.emplace(device, writer_.add_device(device, at)).first;
    return it->second;
  }

  std::FILE* file_;
  bool owned_;
  bool ok_ = true;
  tvis::capture::FileSink sink_;
  tvis::capture::BtsnoopWriter writer_;
  std::map<std::string, uint16_t> connections_;
};

}  // namespace

std::unique_ptr<NotificationWriter> open_btsnoop_output(const std::string& path) {
  if (path == "-") return std::make_unique<SnoopOutput>(stdout, false);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  return std::make_unique<SnoopOutput>(file, true);
}

}  // namespace insole

#include "insole/view/view_recorder.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "version.h"

namespace insole {

std::string ViewRecorder::start() {
  std::lock_guard lock(mutex_);
  if (writer_) throw std::runtime_error("already recording");
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "view-%Y%m%d-%H%M%S", &local);
  std::string path = (directory_.empty() ? std::string(".") : directory_) + "/" + name;
  // Two presses in one second get two files.
  std::string candidate = path + ".mcap";
  for (int n = 2; (file_ = std::fopen(candidate.c_str(), "wbx")) == nullptr && errno == EEXIST && n < 100; ++n)
    candidate = path + "-" + std::to_string(n) + ".mcap";
  if (!file_) throw std::runtime_error("cannot write " + candidate + ": " + std::strerror(errno));
  sink_ = std::make_unique<tvis::capture::FileSink>(file_);
  writer_ = std::make_unique<tvis::capture::McapWriter>(*sink_, tvis::capture::WriterOptions{});
  writer_->add_metadata("session", {{"sdk_version", tvis::kVersion}, {"source", source_name_}});
  channels_.clear();
  return candidate;
}

bool ViewRecorder::stop() {
  std::lock_guard lock(mutex_);
  if (!writer_) return true;
  bool ok = writer_->close();
  writer_.reset();
  sink_.reset();
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

void ViewRecorder::on_event(const SourceEvent& e) {
  if (e.kind != SourceEvent::Kind::notification) return;
  std::lock_guard lock(mutex_);
  if (!writer_) return;
  auto it = channels_.find(e.device_id);
  if (it == channels_.end()) {
    const uint16_t channel = writer_->add_channel(0, "/insole/" + e.device_id + "/notifications",
                                                  "insole.notification", {{"device_id", e.device_id}, {"foot", e.foot}});
    if (channel == 0) {  // ids used up: a new insole is not recorded rather than credited to another
      if (!warned_full_)
        std::fprintf(stderr, "insole: warning: the capture holds %zu channels, its most; new insoles are not recorded\n",
                     tvis::capture::McapWriter::kMaxIds);
      warned_full_ = true;
      return;
    }
    it = channels_.emplace(e.device_id, channel).first;
  }
  const auto at = static_cast<uint64_t>(e.host_time_ns);
  writer_->write_message(it->second, at, at, e.bytes);
}

}  // namespace insole

// The browser view's record button: what the source hands out, written to an
// MCAP capture (docs/capture-format.md) from the moment it is pressed until it
// is pressed again or the view ends.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "capture/mcap_writer.h"
#include "insole/sources/source.h"

namespace insole {

class ViewRecorder {
 public:
  explicit ViewRecorder(std::string directory, std::string source_name)
      : directory_(std::move(directory)), source_name_(std::move(source_name)) {}
  ~ViewRecorder() { stop(); }

  // A new capture in the directory, named by the local time; returns its path.
  // Throws std::runtime_error when the file cannot be made.
  std::string start();
  // Closes the capture; returns false when a write failed on the way.
  bool stop();

  // From the source's thread: the notification goes in while recording.
  void on_event(const SourceEvent& event);

 private:
  std::string directory_;
  std::string source_name_;
  std::mutex mutex_;  // the source's thread writes, the server's starts and stops
  std::FILE* file_ = nullptr;
  std::unique_ptr<tvis::capture::FileSink> sink_;
  std::unique_ptr<tvis::capture::McapWriter> writer_;
  std::map<std::string, uint16_t, std::less<>> channels_;
  bool warned_full_ = false;  // the one warning when the capture has no channel left
};

}  // namespace insole

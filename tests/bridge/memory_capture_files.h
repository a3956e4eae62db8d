// Captures kept in memory for the subscriber's tests and fuzzer, with a
// descriptor limit of their own, and a record of any name that would not be
// one safe file name in one folder under the root.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "insole/bridge/bridge_capture_files.h"

namespace insole {

class MemoryCaptureFiles final : public CaptureFiles {
 public:
  explicit MemoryCaptureFiles(size_t descriptors = 1 << 20) : descriptors_(descriptors) {}

  Made create(const std::string& folder, const std::string& name, std::unique_ptr<CaptureFile>& file,
              std::string& error) override {
    if (!safe(folder) || !safe(name)) unsafe_names.push_back(folder + "/" + name);
    const std::string path = folder + "/" + name;
    if (files.count(path)) {
      error = "File exists";
      return Made::exists;
    }
    if (open_now >= descriptors_) {
      error = "Too many open files";
      return Made::out_of_descriptors;
    }
    file = std::make_unique<File>(*this, files[path]);
    ++open_now;
    most_open = std::max(most_open, open_now);
    return Made::created;
  }
  std::string shown(const std::string& folder, const std::string& name) const override {
    return "mem/" + folder + "/" + name;
  }

  // One name in one folder: no separator, not hidden, not "." or "..", and
  // short enough for a file system.
  static bool safe(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && name[0] != '.';
  }

  std::map<std::string, std::vector<uint8_t>> files;  // by "<folder>/<name>"
  std::vector<std::string> unsafe_names;
  size_t open_now = 0, most_open = 0;
  bool closed_twice = false;
  bool disk_full = false;  // every write fails while set

 private:
  class File final : public CaptureFile {
   public:
    File(MemoryCaptureFiles& owner, std::vector<uint8_t>& bytes) : owner_(owner), bytes_(bytes) {}
    ~File() override {
      if (open_) --owner_.open_now;
    }
    bool write(std::span<const uint8_t> bytes) override {
      if (owner_.disk_full) return false;
      bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
      return true;
    }
    bool close() override {
      if (!open_) owner_.closed_twice = true;
      if (open_) --owner_.open_now;
      open_ = false;
      return !owner_.disk_full;
    }

   private:
    MemoryCaptureFiles& owner_;
    std::vector<uint8_t>& bytes_;
    bool open_ = true;
  };

  size_t descriptors_;
};

}  // namespace insole

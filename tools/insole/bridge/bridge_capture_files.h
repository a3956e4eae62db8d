// Where the subscriber's captures go: new files in folders one level under
// a root, never over an existing file. The disk is one place; tests and the
// fuzzer put an in-memory one in its stead.
#pragma once

#include <memory>
#include <string>

#include "capture/mcap_writer.h"

namespace insole {

// One capture being written.
class CaptureFile : public tvis::capture::ByteSink {
 public:
  // False when the file could not be written to the end.
  virtual bool close() = 0;
};

class CaptureFiles {
 public:
  enum class Made { created, exists, out_of_descriptors, failed };
  virtual ~CaptureFiles() = default;
  // A new file `name` in the folder `folder` (made when missing). Both are
  // single names, already safe (capture_name). `error` says why not.
  virtual Made create(const std::string& folder, const std::string& name, std::unique_ptr<CaptureFile>& file,
                      std::string& error) = 0;
  // The path as a person should see it in a message.
  virtual std::string shown(const std::string& folder, const std::string& name) const = 0;
};

class DiskCaptureFiles final : public CaptureFiles {
 public:
  explicit DiskCaptureFiles(std::string root) : root_(std::move(root)) {}
  Made create(const std::string& folder, const std::string& name, std::unique_ptr<CaptureFile>& file,
              std::string& error) override;
  std::string shown(const std::string& folder, const std::string& name) const override {
    return root_ + "/" + folder + "/" + name;
  }

 private:
  std::string root_;
};

}  // namespace insole

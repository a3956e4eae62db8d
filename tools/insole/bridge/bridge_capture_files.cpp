#include "insole/bridge/bridge_capture_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace insole {

namespace {

class DiskFile final : public CaptureFile {
 public:
  explicit DiskFile(std::FILE* file) : file_(file), sink_(file) {}
  ~DiskFile() override {
    if (file_) std::fclose(file_);
  }
  bool write(std::span<const uint8_t> bytes) override { return sink_.write(bytes); }
  bool flush() override { return sink_.flush(); }
  bool close() override {
    const bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }

 private:
  std::FILE* file_;
  tvis::capture::FileSink sink_;
};

}  // namespace

CaptureFiles::Made DiskCaptureFiles::create(const std::string& folder, const std::string& name,
                                            std::unique_ptr<CaptureFile>& file, std::string& error) {
  const std::string dir = root_ + "/" + folder;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // O_EXCL: never over an earlier run's capture, nor through a link planted there.
  const int fd = ::open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int e = errno;
    error = std::strerror(e);
    if (e == EEXIST) return Made::exists;
    return e == EMFILE || e == ENFILE ? Made::out_of_descriptors : Made::failed;
  }
  std::FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) {
    error = std::strerror(errno);
    ::close(fd);
    return Made::failed;
  }
  file = std::make_unique<DiskFile>(f);
  return Made::created;
}

}  // namespace insole

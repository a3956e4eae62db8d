#include "insole/dfu/firmware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "insole/cli/values.h"

namespace insole {

namespace {

// Checked before reading: a device or a pipe may never end, and a directory
// is no image however it reads.
void expect_regular(const std::string& path, mode_t mode) {
  if (S_ISREG(mode)) return;
  const char* kind = S_ISDIR(mode)    ? "a directory, "
                     : S_ISCHR(mode)  ? "a character device, "
                     : S_ISBLK(mode)  ? "a block device, "
                     : S_ISFIFO(mode) ? "a pipe, "
                     : S_ISSOCK(mode) ? "a socket, "
                                      : "";
  throw UsageError(path + " is " + kind + "not a regular file");
}

[[noreturn]] void unreadable(const std::string& path, int error) {
  throw UsageError("cannot read " + path + ": " + std::strerror(error));
}

[[noreturn]] void too_large(const std::string& path, const std::string& size) {
  throw UsageError(path + " is too large for a firmware image: " + size + " bytes, at most " +
                   std::to_string(kMaxImageSize));
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::vector<uint8_t> read_firmware_file(const std::string& path) {
  // Non-blocking, so that a pipe without a writer is refused, not waited on.
  const Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  struct stat st {};
  if (file.fd < 0) {
    const int error = errno;
    // A socket cannot be opened at all; say what it is rather than why.
    if (::stat(path.c_str(), &st) == 0) expect_regular(path, st.st_mode);
    unreadable(path, error);
  }
  if (::fstat(file.fd, &st) != 0) unreadable(path, errno);
  expect_regular(path, st.st_mode);
  if (static_cast<uint64_t>(st.st_size) > kMaxImageSize) too_large(path, std::to_string(st.st_size));
  ::fcntl(file.fd, F_SETFL, 0);  // a regular file is read blocking, as any tool reads it

  // Read to the end rather than trust the size: files under /proc and /sys
  // report 0 bytes and still have content.
  std::vector<uint8_t> image;
  image.reserve(static_cast<size_t>(st.st_size));
  uint8_t buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) unreadable(path, errno);
    if (n == 0) break;
    if (image.size() + static_cast<size_t>(n) > kMaxImageSize)
      too_large(path, "over " + std::to_string(kMaxImageSize));
    image.insert(image.end(), buffer, buffer + n);
  }
  if (image.empty()) throw UsageError(path + " is empty");
  return image;
}

}  // namespace insole

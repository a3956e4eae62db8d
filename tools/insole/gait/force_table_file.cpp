// A force table read from a file, plain or xz, in fixed-size pieces.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "insole/gait/force_table.h"
#include "insole/gait/force_table_builder.h"
#include "insole/gait/xz_stream.h"

namespace insole {
namespace {

constexpr std::size_t kReadPiece = 256 << 10;

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

tvis::Result<ForceTable, std::string> read_force_table(const std::string& path, const ForceTableColumns& columns) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::string(path + ": cannot open: " + std::strerror(errno));

  std::vector<char> buffer(kReadPiece);
  bool read_failed = false;
  auto read = [&]() -> std::string_view {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n == 0 && std::ferror(file.get())) read_failed = true;
    return {buffer.data(), n};
  };

  ForceTableBuilder builder(columns, path);
  if (builder.error()) return builder.finish();
  // Plain text is read in the same pieces as the decompressed stream; the
  // first piece decides which it is.
  std::string_view first = read();
  if (looks_like_xz(first)) {
    bool first_given = false;
    auto next = [&]() -> std::string_view {
      if (!first_given) {
        first_given = true;
        return first;
      }
      return read();
    };
    // Decompression goes on past a fault in the text: bytes are handed out
    // before their block's check is read, so a damaged file must be told as
    // damaged, not as the row its damage happened to produce.
    auto decompressed = decompress_xz(next, [&](std::string_view piece) {
      builder.feed(piece);
      return true;
    });
    if (!decompressed && !read_failed) return std::string(path + ": " + decompressed.error());
  } else if (ends_with(path, ".xz")) {
    return std::string(path + ": not xz data, though the name ends in .xz");
  } else {
    for (std::string_view piece = first; !piece.empty() && builder.feed(piece); piece = read()) {
    }
  }
  if (read_failed) return std::string(path + ": cannot read: " + std::strerror(errno));
  return builder.finish();
}

}  // namespace insole

#include "insole/gait/xz_stream.h"

#include <lzma.h>

#include <vector>

namespace insole {
namespace {

// Enough for any preset xz writes (-9 needs 65 MiB to decode); a file that
// asks for more is refused rather than let grow the process.
constexpr std::uint64_t kMemoryLimit = 256ull << 20;
constexpr std::size_t kOutPiece = 256 << 10;

const char* xz_fault(lzma_ret ret) {
  switch (ret) {
    case LZMA_FORMAT_ERROR: return "not xz data";
    case LZMA_DATA_ERROR: return "corrupt xz data";
    case LZMA_BUF_ERROR: return "truncated xz data (the stream ends early)";
    case LZMA_MEMLIMIT_ERROR: return "xz data that needs more than 256 MiB to decompress";
    case LZMA_MEM_ERROR: return "out of memory while decompressing xz data";
    case LZMA_OPTIONS_ERROR: return "xz data with options this reader does not support";
    case LZMA_UNSUPPORTED_CHECK: return "xz data with an integrity check this reader does not support";
    default: return "xz data that could not be decompressed";
  }
}

struct Decoder {
  lzma_stream s = LZMA_STREAM_INIT;
  ~Decoder() { lzma_end(&s); }
};

}  // namespace

bool looks_like_xz(std::string_view head) { return head.substr(0, 6) == std::string_view("\xFD" "7zXZ\0", 6); }

tvis::Result<void, std::string> decompress_xz(ReadPiece read, TakePiece sink) {
  Decoder d;
  // Concatenated streams are valid xz (what `cat a.xz b.xz` gives).
  lzma_ret ret = lzma_stream_decoder(&d.s, kMemoryLimit, LZMA_CONCATENATED);
  if (ret != LZMA_OK) return std::string(xz_fault(ret));
  std::vector<std::uint8_t> out(kOutPiece);
  bool input_done = false;
  for (;;) {
    if (d.s.avail_in == 0 && !input_done) {
      const std::string_view piece = read();
      input_done = piece.empty();
      d.s.next_in = reinterpret_cast<const std::uint8_t*>(piece.data());
      d.s.avail_in = piece.size();
    }
    d.s.next_out = out.data();
    d.s.avail_out = out.size();
    ret = lzma_code(&d.s, input_done ? LZMA_FINISH : LZMA_RUN);
    const std::size_t produced = out.size() - d.s.avail_out;
    if (produced && !sink(std::string_view(reinterpret_cast<const char*>(out.data()), produced))) return {};
    if (ret == LZMA_STREAM_END) return {};
    if (ret != LZMA_OK) return std::string(xz_fault(ret));
  }
}

}  // namespace insole

// xz decompression as a stream of pieces, so a compressed file is never held
// whole in memory, only the reader's fixed buffers and the decoder's window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/function_ref.h"
#include "util/result.h"

namespace insole {

// The magic bytes every xz stream starts with.
bool looks_like_xz(std::string_view head);

// Reads `read` until it returns an empty piece, decompresses, and hands each
// decompressed piece to `sink` (which returns false to stop early). Errors
// (not xz, corrupt, truncated, more memory than the bound) say what happened
// without a file name; the caller adds it.
using ReadPiece = tvis::FunctionRef<std::string_view()>;
using TakePiece = tvis::FunctionRef<bool(std::string_view)>;
tvis::Result<void, std::string> decompress_xz(ReadPiece read, TakePiece sink);

}  // namespace insole

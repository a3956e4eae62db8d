// Reads a firmware image from a file, or says in one line what is wrong with
// the file: not a regular file, unreadable, empty or too large.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace insole {

// Firmware images are small; anything larger than this is not one.
inline constexpr uint64_t kMaxImageSize = 64 * 1024 * 1024;

// Throws UsageError with the text the user sees after "insole: ".
std::vector<uint8_t> read_firmware_file(const std::string& path);

}  // namespace insole

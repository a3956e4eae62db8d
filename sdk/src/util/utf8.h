// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above
// U+10FFFF): device ids and protobuf strings must pass it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tvis {

bool is_valid_utf8(const uint8_t* data, size_t len);

inline bool is_valid_utf8(std::string_view text) {
  return is_valid_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace tvis

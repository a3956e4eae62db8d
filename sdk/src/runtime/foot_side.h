// Reading the foot side from an advertisement's manufacturer payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tvis::c {

// The C rule: 3 when the first byte is 3, 2 for any other first byte, 0 for
// an empty payload.
inline uint8_t foot_side_of_payload(std::span<const uint8_t> payload) {
  if (payload.empty()) return 0;
  return payload[0] == 3 ? 3 : 2;
}

// The strict rule used per company id by the Python face: 1 or 2 left,
// 3 right, anything else undecided.
inline std::optional<uint8_t> strict_foot_side(std::span<const uint8_t> payload) {
  if (payload.empty()) return std::nullopt;
  if (payload[0] == 1 || payload[0] == 2) return uint8_t{2};
  if (payload[0] == 3) return uint8_t{3};
  return std::nullopt;
}

}  // namespace tvis::c

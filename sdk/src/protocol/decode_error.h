// Failures of the protobuf codec, with their fixed display texts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvis::protocol {

struct DecodeError {
  std::string description;
  // (message, field) through which the failing bytes were reached, innermost first.
  std::vector<std::pair<std::string_view, std::string_view>> stack;

  // "failed to decode Protobuf message: " + "Msg.field: " per stack entry + description.
  std::string to_string() const;
};

struct EncodeError {
  size_t required = 0;
  size_t remaining = 0;

  std::string to_string() const;
};

}  // namespace tvis::protocol

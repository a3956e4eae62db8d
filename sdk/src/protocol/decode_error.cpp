#include "protocol/decode_error.h"

namespace tvis::protocol {

std::string DecodeError::to_string() const {
  std::string text = "failed to decode Protobuf message: ";
  for (const auto& [message, field] : stack) {
    text += message;
    text += '.';
    text += field;
    text += ": ";
  }
  text += description;
  return text;
}

std::string EncodeError::to_string() const {
  return "failed to encode Protobuf message; insufficient buffer capacity (required: " +
         std::to_string(required) + ", remaining: " + std::to_string(remaining) + ")";
}

}  // namespace tvis::protocol

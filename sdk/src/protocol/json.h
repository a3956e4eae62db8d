// The JSON text of a device message: compact, object members in ascending
// byte order of their keys at every level, lower-camel-case keys, defaults
// left out, u64 as decimal strings, enumerations by name, floats as the
// shortest text that reads back as the same double, and six IMU values
// derived in single precision.
#pragma once

#include <optional>
#include <string>

#include "protocol/messages.h"

namespace tvis::protocol {

// Appends the message's JSON text to out. Returns the error text ("Invalid
// variant N") when an enumeration holds a value outside its table; out then
// holds a partial text the caller discards.
std::optional<std::string> render_json(const InsoleResp& msg, std::string& out);

// Appends a JSON string literal with minimal escaping.
void append_json_string(std::string& out, std::string_view text);

}  // namespace tvis::protocol

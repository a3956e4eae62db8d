// Texts that existing callers match byte for byte. Host applications parse the
// console log by its prefix, and Python hosts and their tests compare the
// exception texts of argument conversion and the field path in decode errors.
// Several read like internal type names, or odd; they are part of the contract
// all the same. Do not "fix" them: change one and a caller breaks silently.
#pragma once

#include <string_view>

namespace tvis::fixed_texts {

// Opens every console log line: "[Rust][LEVEL][target] message".
inline constexpr std::string_view kLogLinePrefix = "[Rust][";

// DeviceEvent.type as decode errors name it in their field path.
inline constexpr std::string_view kEventTypeFieldPath = "r#type";
// The escape mark of such a name; JSON keys go without it ("type").
inline constexpr std::string_view kFieldPathEscape = "r#";

// Python argument conversion: a str where a byte sequence is expected, and the
// type named in "'T' object cannot be converted to 'NAME'" for each kind of
// argument.
inline constexpr const char* kStrIsNotBytes = "Can't extract `str` to `Vec`";
inline constexpr const char* kSequenceTarget = "Sequence";
inline constexpr const char* kBoolTarget = "PyBool";
inline constexpr const char* kStringTarget = "PyString";
inline constexpr const char* kBytesTarget = "PyBytes";
inline constexpr const char* kDictTarget = "PyDict";

}  // namespace tvis::fixed_texts

// The process-wide logging facade: a global atomic level filter and one console
// logger on standard output. Emitting sites test the filter first, so a record
// whose level is filtered out costs one atomic load and one comparison.
#pragma once

#include <atomic>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tvis::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kTargetC = "trova_insole_sdk::c";
inline constexpr std::string_view kTargetParser = "trova_insole_sdk::protocol::parser";
inline constexpr std::string_view kTargetDfu = "trova_insole_sdk::dfu";
inline constexpr std::string_view kTargetPython = "trova_insole_sdk::python";

// The filter; Off until the host initialises logging.
inline std::atomic<int>& filter() {
  static std::atomic<int> level{0};
  return level;
}

inline bool enabled(Level level) {
  return static_cast<int>(level) <= filter().load(std::memory_order_relaxed);
}

// Writes one record through the installed logger (nothing when none is
// installed). Callers check enabled() first.
void emit(Level level, std::string_view target, std::string_view message);

// Installs the console logger once, sets the filter and announces itself.
// Any level outside 1..5 selects Info.
void initialize(int32_t level);

// Sends the console logger's lines to standard error instead of standard
// output. For programs of our own whose standard output carries data (the
// tool's JSON lines, decoded captures): a log line must never land in it.
// Hosts of the library keep the documented standard output.
void route_console_to_stderr();

// A host's receiver of records: level 1..5, the full target and the message,
// both NUL-terminated, and the host's pointer handed back.
using HostSink = void (*)(int32_t level, const char* target, const char* message, void* user_data);

// Sends the records that pass the filter to sink instead of the console;
// nullptr gives them back to the console. Safe against concurrent emitters;
// a record being emitted in another thread at that moment may still reach the
// previous sink.
void set_host_sink(HostSink sink, void* user_data);

// Console line of one record, without the line feed: "[Rust][LEVEL][target] message".
std::string format_line(Level level, std::string_view target, std::string_view message);

// Builds a message from pieces: texts as they are, integers in decimal.
inline void append(std::string& out, std::string_view piece) { out.append(piece); }
inline void append(std::string& out, const char* piece) { out.append(piece); }
inline void append(std::string& out, const std::string& piece) { out.append(piece); }
template <class Int, class = std::enable_if_t<std::is_integral_v<Int>>>
inline void append(std::string& out, Int value) {
  char digits[24];
  auto res = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, res.ptr);
}

template <class... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  (append(out, pieces), ...);
  return out;
}

}  // namespace tvis::log

// Formats and emits only when the level passes the filter.
#define TVIS_LOG(level, target, ...)                                               \
  do {                                                                             \
    if (::tvis::log::enabled(level)) {                                             \
      ::tvis::log::emit(level, target, ::tvis::log::cat(__VA_ARGS__));             \
    }                                                                              \
  } while (0)

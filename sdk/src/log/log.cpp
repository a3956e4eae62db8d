#include "log/log.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "version.h"
#include "util/fixed_texts.h"

namespace tvis::log {

namespace {

enum InstallState : int { kNotInstalled = 0, kInstalling = 1, kInstalled = 2 };

std::atomic<int>& install_state() {
  static std::atomic<int> state{kNotInstalled};
  return state;
}

// The one logger a process can have. Only the console logger exists, so
// "installed" is the whole of its state.
using Sink = void (*)(Level, std::string_view, std::string_view);
std::atomic<Sink>& installed_sink() {
  static std::atomic<Sink> sink{nullptr};
  return sink;
}

constexpr std::string_view kUpperNames[] = {"OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
constexpr std::string_view kMixedNames[] = {"Off", "Error", "Warn", "Info", "Debug", "Trace"};
constexpr std::string_view kRootPrefix = "trova_insole_sdk::";

std::atomic<bool>& console_on_stderr() {
  static std::atomic<bool> on_stderr{false};
  return on_stderr;
}

void console_sink(Level level, std::string_view target, std::string_view message) {
  std::string line = format_line(level, target, message);
  line.push_back('\n');
  FILE* const out = console_on_stderr().load(std::memory_order_relaxed) ? stderr : stdout;
  // One write under the stdout lock, then a flush: lines from concurrent
  // threads never interleave and each leaves at its line feed even when
  // stdout is a pipe. A failed write loses the line and nothing else.
  flockfile(out);
  fwrite_unlocked(line.data(), 1, line.size(), out);
  fflush_unlocked(out);
  funlockfile(out);
}

// The host's sink and its pointer change together, so they sit under one
// mutex that is held only to copy them; the host's function is called after
// it is released. The flag spares the console road that mutex.
struct HostSinkSlot {
  std::mutex mutex;
  HostSink sink = nullptr;
  void* user_data = nullptr;
  std::atomic<bool> set{false};
};

HostSinkSlot& host_sink_slot() {
  static HostSinkSlot* slot = new HostSinkSlot();  // never destroyed: emitters may outlive exit
  return *slot;
}

// Set while this thread runs the host's sink. A record logged from inside it
// (the host calling back into the SDK) goes to the console instead, so a sink
// that logs through the SDK cannot recurse without end.
thread_local bool in_host_sink = false;

// Returns false when no host sink is set (the record is the console's).
bool emit_to_host(Level level, std::string_view target, std::string_view message) {
  auto& slot = host_sink_slot();
  if (!slot.set.load(std::memory_order_acquire) || in_host_sink) return false;
  HostSink sink;
  void* user_data;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    sink = slot.sink;
    user_data = slot.user_data;
  }
  if (sink == nullptr) return false;
  // The host receives C strings; the views need not end in a NUL.
  const std::string target_text(target);
  const std::string message_text(message);
  in_host_sink = true;
  sink(static_cast<int32_t>(level), target_text.c_str(), message_text.c_str(), user_data);
  in_host_sink = false;
  return true;
}

void install_console_logger() {
  auto& state = install_state();
  int expected = kNotInstalled;
  if (state.compare_exchange_strong(expected, kInstalling, std::memory_order_acq_rel)) {
    installed_sink().store(&console_sink, std::memory_order_release);
    state.store(kInstalled, std::memory_order_release);
    return;
  }
  while (state.load(std::memory_order_acquire) == kInstalling) std::this_thread::yield();
}

}  // namespace

std::string format_line(Level level, std::string_view target, std::string_view message) {
  if (target.starts_with(kRootPrefix)) {
    target.remove_prefix(kRootPrefix.size());
  }
  std::string line;
  line.reserve(16 + target.size() + message.size());
  line += fixed_texts::kLogLinePrefix;
  line += kUpperNames[static_cast<int>(level)];
  line += "][";
  line += target;
  line += "] ";
  line += message;
  return line;
}

void emit(Level level, std::string_view target, std::string_view message) {
  Sink sink = installed_sink().load(std::memory_order_acquire);
  if (sink == nullptr || level == Level::Off) return;
  if (emit_to_host(level, target, message)) return;
  sink(level, target, message);
}

void set_host_sink(HostSink sink, void* user_data) {
  auto& slot = host_sink_slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.sink = sink;
  slot.user_data = user_data;
  slot.set.store(sink != nullptr, std::memory_order_release);
}

void route_console_to_stderr() { console_on_stderr().store(true, std::memory_order_relaxed); }

void initialize(int32_t level) {
  Level chosen = (level >= 1 && level <= 5) ? static_cast<Level>(level) : Level::Info;
  install_console_logger();
  filter().store(static_cast<int>(chosen), std::memory_order_relaxed);
  TVIS_LOG(Level::Info, kTargetC, "Console logging initialized with level: ",
           kMixedNames[static_cast<int>(chosen)]);
  TVIS_LOG(Level::Info, kTargetC, "trova-insole-sdk version: ", kVersion);
}

}  // namespace tvis::log

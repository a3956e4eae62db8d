// insole: the SDK's command-line tool. Dispatches to one subcommand per file.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "log/log.h"
#include "trova_insole_sdk.h"

using namespace insole;

namespace {

const std::array<const Command*, 8> kCommands = {&kDemoCommand,  &kStreamCommand, &kDecodeCommand,
                                                 &kRecordCommand, &kBuildCommand,  &kDfuCommand,
                                                 &kCalibrateCommand, &kFootSideCommand};

// INSOLE_LOG=error|warn|info|debug|trace turns on the SDK's own log lines.
// They go to standard error: standard output carries the tool's data.
void start_sdk_logging() {
  tvis::log::route_console_to_stderr();
  const char* wanted = std::getenv("INSOLE_LOG");
  if (wanted == nullptr || *wanted == '\0') return;
  static constexpr std::array<std::string_view, 5> kLevels = {"error", "warn", "info", "debug", "trace"};
  for (size_t i = 0; i < kLevels.size(); ++i)
    if (kLevels[i] == wanted) return tvis_initialize_logging(static_cast<int32_t>(i + 1));
  std::fprintf(stderr, "insole: ignoring INSOLE_LOG='%s' (expected error, warn, info, debug or trace)\n", wanted);
}

void print_overview() {
  std::printf(
      "usage: insole COMMAND [OPTIONS]\n"
      "\n"
      "Host-side tool for the BLE sensor insoles: simulated insoles, captures,\n"
      "command frames, firmware updates and calibration.\n"
      "\n"
      "commands:\n");
  for (const Command* c : kCommands)
    std::printf("  %-11s %s\n", std::string(c->name).c_str(), std::string(c->summary).c_str());
  std::printf(
      "\n"
      "Run `insole COMMAND --help` for the options of one command.\n"
      "INSOLE_LOG=error|warn|info|debug|trace shows the SDK's log on standard error.\n"
      "Exit status: 0 success, 1 failure (unreadable input, failed update), 2 bad arguments.\n");
}

}  // namespace

int main(int argc, char** argv) {
  start_sdk_logging();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fprintf(stderr, "insole: missing command (try `insole --help`)\n");
    return kExitUsage;
  }
  const std::string& name = args.front();
  if (name == "--help" || name == "-h" || name == "help") {
    print_overview();
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command* c : kCommands)
    if (c->name == name) command = c;
  if (command == nullptr) {
    std::fprintf(stderr, "insole: unknown command '%s' (try `insole --help`)\n", name.c_str());
    return kExitUsage;
  }

  const std::span<const std::string> rest(args.begin() + 1, args.end());
  if (wants_help(rest)) {
    std::fwrite(command->help.data(), 1, command->help.size(), stdout);
    return kExitOk;
  }
  try {
    const int status = command->run(rest);
    if (std::fflush(stdout) != 0) {
      std::fprintf(stderr, "insole: cannot write standard output\n");
      return kExitFailed;
    }
    return status;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "insole: out of memory\n");
    return kExitFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    return kExitFailed;
  }
}

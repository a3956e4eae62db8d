// The subcommands of the insole tool. Each entry point gets the arguments
// after its name and returns the exit status; a UsageError it throws becomes
// "insole: <text>" on standard error and status 2.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace insole {

struct Command {
  std::string_view name;
  std::string_view summary;  // one line in `insole --help`
  std::string_view help;     // the whole `insole NAME --help` text
  int (*run)(std::span<const std::string> args);
};

extern const Command kDemoCommand;
extern const Command kStreamCommand;
extern const Command kDecodeCommand;
extern const Command kRecordCommand;
extern const Command kBuildCommand;
extern const Command kDfuCommand;
extern const Command kCalibrateCommand;
extern const Command kFootSideCommand;

// Exit statuses shared by the subcommands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // input unreadable, output unwritable, update failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

}  // namespace insole

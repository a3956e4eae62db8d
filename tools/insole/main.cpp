// insole: the SDK's command-line tool. Each subcommand lives in its own file
// and registers itself here.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "log/log.h"
#include "trova_insole_sdk.h"
#include "version.h"

using namespace insole;

namespace {

// In the order `insole --help` lists them.
constexpr std::array kCommands = {add_demo,    add_stream,  add_decode,   add_record,    add_replay,
                                  add_export,  add_gait,    add_layout,  add_view,    add_bridge,   add_virtual,   add_build,
                                  add_dfu,     add_calibrate, add_foot_side};

constexpr Help kToolHelp{
    .usage = "insole COMMAND [OPTIONS]",
    .about = "Host-side tool for the BLE sensor insoles: simulated insoles, captures,\n"
             "command frames, firmware updates and calibration.",
    .notes = "Run `insole COMMAND --help` for the options of one command.\n"
             "INSOLE_LOG=error|warn|info|debug|trace shows the SDK's log on standard error.\n"
             "Exit status: 0 success, 1 failure (unreadable input, unwritable output,\n"
             "failed update), 2 bad arguments.",
    .version = tvis::kVersion,  // the tool is built with the SDK it carries
};

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

int run_command(const std::vector<std::string>& args) {
  try {
    CLI::App tool;
    set_up_tool(tool, kToolHelp);
    for (auto add : kCommands) add(tool);
    return parse_and_run(tool, args);
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

// Output that never arrived (a full disk, a pipe closed while SIGPIPE is
// ignored) must not pass for success, whichever subcommand wrote it. A write
// error may have been met and cleared from the buffer long before, so the
// error flag counts as well as this last flush; closing catches what only the
// close reports.
int finish_output(int status) {
  errno = 0;
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  const int error = errno;
  if (standard_output_failure_told()) return status == kExitOk ? kExitFailed : status;
  if (!failed && std::fclose(stdout) == 0) return status;
  const int reason = failed ? error : errno;
  standard_output_failed(reason);  // says nothing when the command has told it already
  return status == kExitOk ? kExitFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
  start_sdk_logging();
  return finish_output(run_command(std::vector<std::string>(argv + 1, argv + argc)));
}

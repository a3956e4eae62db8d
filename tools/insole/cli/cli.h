// What the subcommands of the insole tool (insole/commands/, one file each)
// share: exit statuses and the helpers that register a command with CLI11. A
// command file adds its subcommand, its options and what it runs; the tool
// parses, then runs the chosen command and exits with the status it returns.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <string_view>

#include "insole/cli/values.h"

namespace insole {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // input unreadable, output unwritable, update failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Standard output could not be written (error: its errno, 0 when unknown):
// says so in the tool's one line, "cannot write standard output: REASON",
// and drops what is still buffered for it, so that the check at exit does
// not tell it a second time. Returns kExitFailed. Any thread.
int standard_output_failed(int error);
// Whether standard_output_failed() has told it already.
bool standard_output_failure_told();

// What `insole ... --help` says besides the list of options, which comes
// from the options themselves.
struct Help {
  std::string_view usage = {};  // the synopsis after "usage: "; empty: made from the command's path
  std::string_view about = {};  // the paragraphs below it
  std::string_view notes = {};  // below the option list: exit statuses, pointers
  // What this command's own subcommands are called in errors ("unknown command frame 'x'").
  std::string_view subcommand_noun = "command";
  // The tool's only: what --version prints (none: no --version).
  std::string_view version = {};
};

// Gives the tool its help, its -h/--help and, with help.version, its
// --version; requires one command unless one of those is asked for.
void set_up_tool(CLI::App& tool, const Help& help);

// A subcommand of parent; summary is its line in the parent's help.
CLI::App* add_command(CLI::App& parent, const std::string& name, const std::string& summary, const Help& help);

// What command does once its arguments parsed without fault. It runs after
// parsing and its result is the exit status; a UsageError it throws still
// counts as bad arguments.
void on_run(CLI::App* command, std::function<int()> run);

// An option with one value (the last one given counts) that parse reads into
// target; parse throws a UsageError naming the option for text it refuses.
template <class Target, class Parse>
CLI::Option* add_value(CLI::App* command, const std::string& name, Target& target, Parse parse,
                       const std::string& value_name, const std::string& description) {
  return command
      ->add_option_function<std::string>(
          name, [&target, parse, name](const std::string& text) { target = parse(text, name); }, description)
      ->type_name(value_name)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// A text option: one value (the last one given), or with a vector target
// every value, one per occurrence (--device a --device b).
CLI::Option* add_text(CLI::App* command, const std::string& name, std::string& target, const std::string& value_name,
                      const std::string& description);
CLI::Option* add_text(CLI::App* command, const std::string& name, std::vector<std::string>& target,
                      const std::string& value_name, const std::string& description);

// Positional arguments (a string, or a vector for any number of them).
CLI::Option* add_arguments(CLI::App* command, const std::string& name, std::string& target,
                           const std::string& description);
CLI::Option* add_arguments(CLI::App* command, const std::string& name, std::vector<std::string>& target,
                           const std::string& description);

// Parses args (argv without the program name) against tool, runs the chosen
// command and returns its status; `--help` prints the help of the command it
// follows. Argument faults come out as UsageError, one line each.
int parse_and_run(CLI::App& tool, const std::vector<std::string>& args);

}  // namespace insole

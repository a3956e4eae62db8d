// The command-line options that choose a source (--mock, --virtual, --replay,
// --speed, --fast, --seek, --feed) and the source they open. Apart from the
// source itself, so that what consumes a source's events never sees CLI11.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "insole/sources/source.h"

namespace insole {

// What one source option set chose. At most one kind may be given; with
// none, the command's default applies (two mock insoles, left and right).
struct SourceOptions {
  std::vector<std::string> mock;           // --mock ID (repeatable)
  std::vector<std::string> virtual_feet;   // --virtual left|right (repeatable)
  std::string gait;                        // --gait G for the virtual insoles (empty: walking)
  std::string replay;                      // --replay FILE (an MCAP capture or an old raw capture)
  double speed = 1.0;                      // --speed X: replay pace
  bool fast = false;                       // --fast: replay as fast as it can be read
  double seek_seconds = 0;                 // --seek S: replay from S seconds into the capture
  double max_gap_seconds = 0;              // --max-gap S: the longest wait on one gap in log times (0: not given, 5)
  std::string feed;                        // --feed - | HOST:PORT: a live feed on stdin, or listened for
  double feed_idle_seconds = 0;            // --feed-idle S: let a silent host go after S seconds (0: not given, 10)
};

// Adds --mock, --virtual, --gait, --replay, --speed, --fast, --seek, --max-gap, --feed and --feed-idle to
// command.
void add_source_options(CLI::App* command, SourceOptions& options);

// --max-gap alone, for commands that take --replay's pacing options one by one.
void add_max_gap_option(CLI::App* command, SourceOptions& options);

// The source the options chose. Throws UsageError for options that do not
// go together (two kinds, --speed without --replay, ...).
std::unique_ptr<Source> open_source(const SourceOptions& options);

// The value of --gait: idle, standing, walking or running (UsageError otherwise).
tvis::sim::Activity parse_gait(std::string_view text);

// Asks the insole that sent `first` for its device information, where the
// source takes writes (virtual insoles); mock insoles, replays and feeds take
// none and tell only what their stream carries. Call it from the sink, once
// per insole.
void ask_device_info(Source& source, const SourceEvent& first);

// Whether options name a source at all (any of the kinds in source.h).
bool source_chosen(const SourceOptions& options);

// The values of --speed (a factor from 0.01 to 1000) and --seek (seconds, 0 or more).
double parse_speed(std::string_view text, std::string_view option);
double parse_seek(std::string_view text, std::string_view option);
// The value of --feed-idle and --max-gap: seconds, more than 0 and at most 86,400.
double parse_positive_seconds(std::string_view text, std::string_view option);

}  // namespace insole

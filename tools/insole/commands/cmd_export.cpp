// insole export: a capture as rows for analysis: CSV, JSON lines or binary records.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "insole/export/capture_export.h"
#include "insole/export/export_rows.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/console/terminal.h"
#include "insole/capture/capture_reader.h"
#include "insole/gait/capture_gait_marks.h"
#include "insole/view/view_layout.h"

namespace insole {

namespace {

struct Options {
  std::vector<std::string> paths;
  bool jsonl = false;
  bool csv = false;
  bool binary = false;
  bool gait_events = false;
  std::string layout;
};

std::string totals_text(const ExportTotals& totals) {
  return "exported " + std::to_string(totals.samples) + " samples (" + std::to_string(totals.gaps) +
         " estimated missing, " + std::to_string(totals.undecodable) + " frames undecodable)";
}

// One capture's rows to out, and the line that tells what was exported.
// With gait_events the capture's gait events are found first, by a reading of
// their own, and put on the rows as the export reads it again. A capture
// whose gait cannot be analysed is still exported, its gait columns empty,
// with one warning: the rows are worth having without the events.
std::string export_one(const std::string& capture, ExportFormat format, std::FILE* out, const CellLayout& layout,
                       bool gait_events) {
  if (!gait_events) return totals_text(export_capture(capture, format, out, layout));
  std::string why_none;
  CaptureGaitMarks marks = capture_gait_marks(capture, layout, why_none);
  if (!why_none.empty()) std::fprintf(stderr, "insole: warning: no gait events marked: %s\n", why_none.c_str());
  const ExportTotals totals = export_capture(capture, format, out, layout, &marks);
  if (marks.marked() < marks.events())
    std::fprintf(stderr, "insole: warning: %s: %llu of %llu gait events found no row (did the capture change while it was read?)\n",
                 capture.c_str(), static_cast<unsigned long long>(marks.events() - marks.marked()),
                 static_cast<unsigned long long>(marks.events()));
  return totals_text(totals) + ", " + std::to_string(marks.marked()) + " gait events marked";
}

// Where a capture's rows go when several are exported: beside it, named
// after it with the format's extension (walk.mcap -> walk.csv).
std::string output_path(const std::string& capture, ExportFormat format) {
  const char* extension = format == ExportFormat::JsonLines ? ".jsonl" : format == ExportFormat::Binary ? ".rows" : ".csv";
  return std::filesystem::path(capture).replace_extension(extension).string();
}

// One of several captures to its own file; false, with the reason on
// standard error, when it cannot be read or written. The others go on.
bool export_to_file(const std::string& capture, const std::string& out_path, ExportFormat format,
                    const CellLayout& layout, bool gait_events) {
  try {
    check_capture(capture);  // no capture, no file left beside it
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    return false;
  }
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "insole: cannot write %s: %s\n", out_path.c_str(), std::strerror(errno));
    return false;
  }
  try {
    const std::string exported = export_one(capture, format, out, layout, gait_events);
    if (std::fclose(out) != 0) throw std::runtime_error("cannot write " + out_path + ": " + std::strerror(errno));
    out = nullptr;
    std::fprintf(stderr, "insole: %s: %s to %s\n", capture.c_str(), exported.c_str(), out_path.c_str());
    return true;
  } catch (const std::runtime_error& e) {
    if (out != nullptr) std::fclose(out);
    std::remove(out_path.c_str());  // half an export must not pass for a whole one
    std::fprintf(stderr, "insole: %s\n", e.what());
    return false;
  }
}

int run(const Options& options) {
  if (options.csv + options.jsonl + options.binary > 1)
    throw UsageError("--csv, --jsonl and --binary exclude each other");
  const ExportFormat format =
      options.jsonl ? ExportFormat::JsonLines : options.binary ? ExportFormat::Binary : ExportFormat::Csv;
  if (options.gait_events)
    for (const auto& capture : options.paths)
      if (capture == "-") throw UsageError("--gait-events needs a file: standard input (-) cannot be read twice");
  const CellLayout layout = load_layout(options.layout);
  if (options.paths.size() == 1) {
    check_capture(options.paths[0]);  // refused before a header line is written
    if (options.binary && term::stdout_is_tty()) throw UsageError("refusing to write binary records to a terminal");
    try {
      const std::string exported = export_one(options.paths[0], format, stdout, layout, options.gait_events);
      std::fprintf(stderr, "insole: %s\n", exported.c_str());
    } catch (const OutputRefused& refused) {
      return standard_output_failed(refused.error);
    }
    return kExitOk;
  }
  // Every name is checked before anything is written: no export overwrites
  // a capture or another export of the same run.
  std::set<std::string> outputs;
  for (const auto& capture : options.paths) {
    if (capture == "-") throw UsageError("standard input (-) is exported alone, to standard output");
    const std::string out = output_path(capture, format);
    if (out == capture) throw UsageError(capture + " would be overwritten by its own export");
    if (!outputs.insert(out).second) throw UsageError("two captures would be exported to " + out);
  }
  for (const auto& capture : options.paths)
    if (outputs.contains(capture)) throw UsageError(capture + " would be overwritten by the export of another capture");
  bool all = true;
  for (const auto& capture : options.paths) all = export_to_file(capture, output_path(capture, format), format, layout, options.gait_events) && all;
  return all ? kExitOk : kExitFailed;
}

}  // namespace

void add_export(CLI::App& tool) {
  CLI::App* command = add_command(
      tool, "export", "a capture as one row per sample: CSV or JSON lines",
      {.usage = "insole export FILE|- [--csv | --jsonl | --binary] [--layout FILE] [--gait-events]\n"
                "       insole export FILE FILE... [--csv | --jsonl | --binary] [--layout FILE] [--gait-events]",
       .about = "Reads a capture (an MCAP capture or live feed, or a raw byte capture) and\n"
                "writes one row per sensor sample to standard output, in capture order.\n"
                "\n"
                "CSV (the default) has a header line and named columns, in this order:\n"
                "  host_time_ns      receive time, ns, host clock (Unix epoch)\n"
                "  aligned_time_ns   the insole's clock mapped onto the host clock, ns, so\n"
                "                    both feet share one time axis\n"
                "  device_time_ms    ms, insole clock\n"
                "  device, foot, seq, gap (samples estimated missing just before this one)\n"
                "  pressure_0..47    the insole's own calibrated cell values, device units\n"
                "                    as sent (the virtual insole: millinewtons; the mock\n"
                "                    stream: 0..999)\n"
                "  raw_pressure_0..47  cell resistances, ohms\n"
                "  shear_x_0..2, shear_y_0..2  device units as sent\n"
                "  acc_x .. raw_gyro_z  IMU readings, device units as sent\n"
                "  acc_x_mg .. gyro_z_dps  acceleration in mg, rotation in degrees/s\n"
                "  battery_pct, voltage_mv  the latest battery report: %, mV\n"
                "  load_0_N..load_47_N  load per cell, newtons, calibrated by the SDK from\n"
                "                    raw_pressure (empty when the sample has no resistances)\n"
                "  load_total_N      the sum of the cell loads of this foot, newtons\n"
                "  cop_x_mm, cop_y_mm  centre of pressure on the cell layout, mm (x toward\n"
                "                    the big toe, y heel to toe; the right foot mirrored),\n"
                "                    weighed by load_*_N, else by pressure_*\n"
                "A value the sample does not carry is left empty. A raw capture has no\n"
                "receive times: its time columns are 0 and empty. The loads need the\n"
                "foot: the sample's device id, else the capture's foot.\n"
                "\n"
                "--jsonl writes one JSON object per sample instead: the same times and\n"
                "identity, load_N (per cell), load_total_N, cop_x_mm and cop_y_mm, and the\n"
                "message as `insole decode` renders it.\n"
                "\n"
                "--binary writes the CSV's columns as little-endian arrays, in blocks\n"
                "of rows, that numpy copies without parsing (the form read_capture()\n"
                "loads; see docs/capture-format.md).\n"
                "\n"
                "With several FILEs, each is exported beside it, named after it with the\n"
                "format's extension: walk.mcap to walk.csv (--jsonl: walk.jsonl, --binary:\n"
                "walk.rows), with one line per capture on standard error. A capture that\n"
                "cannot be read leaves no file and the others go on.\n"
                "\n"
                "--layout FILE places the cells for the centre of pressure (the form\n"
                "`insole layout` prints; default: the SDK's built-in layout).\n"
                "\n"
                "--gait-events ends each row in two more columns (JSON lines: two more\n"
                "keys, in their sorted place after \"foot\"), the events `insole gait\n"
                "--events` finds in the same capture (with the same --layout):\n"
                "  gait_event        \"contact\" or \"foot_off\" on the sample of the foot whose\n"
                "                    load first crossed the event's level (the event's\n"
                "                    \"sample\"), empty (JSON lines: null) on every other row\n"
                "  gait_event_time_s the event's time, s, the insole's clock mapped onto the\n"
                "                    host clock (the event's \"time_s\"; aligned_time_ns / 1e9\n"
                "                    is the same base; a raw capture: the insole's clock)\n"
                "In --binary, gait_event is an unsigned byte, 0 none, 1 contact, 2 foot off,\n"
                "and gait_event_time_s is NaN without an event. The events are found by\n"
                "reading the capture once more, so standard input cannot take the option.\n"
                "A capture whose gait cannot be analysed (no left or right samples, a foot\n"
                "that never unloads, ...) is exported with empty gait columns and one\n"
                "warning on standard error.",
       .notes = "Exit status: 0 when the capture was read (damage is reported on standard\n"
                "error and skipped), 1 when it (or one of several) cannot be read, is no\n"
                "capture (no MCAP or btsnoop magic and no insole frame in it) or its export\n"
                "cannot be written, 2 for bad arguments."});
  auto options = std::make_shared<Options>();
  add_arguments(command, "FILE", options->paths, "the capture (- for standard input), or several")->required();
  command->add_flag("--csv", options->csv, "CSV with a header line (the default)");
  command->add_flag("--jsonl", options->jsonl, "JSON lines");
  command->add_flag("--binary", options->binary, "binary records for programs (not to a terminal)");
  add_text(command, "--layout", options->layout, "FILE", "the cell layout (default: the built-in one)");
  command->add_flag("--gait-events", options->gait_events,
                    "two more columns: the gait event a row starts and its time (s)");
  on_run(command, [options] { return run(*options); });
}

}  // namespace insole

// insole export: a capture as rows for analysis: CSV, JSON lines or binary records.
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "insole/export/capture_export.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/console/terminal.h"

namespace insole {

namespace {

struct Options {
  std::string path;
  bool jsonl = false;
  bool csv = false;
  bool binary = false;
};

int run(const Options& options) {
  if (options.csv + options.jsonl + options.binary > 1)
    throw UsageError("--csv, --jsonl and --binary exclude each other");
  if (options.binary && term::stdout_is_tty()) throw UsageError("refusing to write binary records to a terminal");
  const ExportFormat format =
      options.jsonl ? ExportFormat::JsonLines : options.binary ? ExportFormat::Binary : ExportFormat::Csv;
  const ExportTotals totals = export_capture(options.path, format, stdout);
  std::fprintf(stderr, "insole: exported %llu samples (%llu estimated missing, %llu frames undecodable)\n",
               static_cast<unsigned long long>(totals.samples), static_cast<unsigned long long>(totals.gaps),
               static_cast<unsigned long long>(totals.undecodable));
  return kExitOk;
}

}  // namespace

void add_export(CLI::App& tool) {
  CLI::App* command = add_command(
      tool, "export", "a capture as one row per sample: CSV or JSON lines",
      {.usage = "insole export FILE|- [--csv | --jsonl | --binary]",
       .about = "Reads a capture (an MCAP capture or live feed, or a raw byte capture) and\n"
                "writes one row per sensor sample to standard output, in capture order.\n"
                "\n"
                "CSV (the default) has a header line and named columns: host_time_ns (the\n"
                "receive time), aligned_time_ns (the insole's own clock mapped onto the\n"
                "host clock, so both feet share one time axis), device_time_ms, device,\n"
                "foot, seq, gap (samples estimated missing just before this one),\n"
                "pressure_0..47, raw_pressure_0..47, shear_x_0..2, shear_y_0..2, the IMU\n"
                "readings raw, calibrated and derived (acc_x_mg ... gyro_z_dps), and the\n"
                "latest battery_pct and voltage_mv. A value the sample does not carry is\n"
                "left empty. A raw capture has no receive times: its time columns are 0\n"
                "and empty.\n"
                "\n"
                "--jsonl writes one JSON object per sample instead: the same times and\n"
                "identity, and the message as `insole decode` renders it.\n"
                "\n"
                "--binary writes the CSV's columns as little-endian arrays, in blocks\n"
                "of rows, that numpy copies without parsing (the form read_capture()\n"
                "loads; see docs/capture-format.md).",
       .notes = "Exit status: 0 when the capture was read (damage is reported on standard\n"
                "error and skipped), 1 when it cannot be read, 2 for bad arguments."});
  auto options = std::make_shared<Options>();
  add_arguments(command, "FILE", options->path, "the capture (- for standard input)")->required();
  command->add_flag("--csv", options->csv, "CSV with a header line (the default)");
  command->add_flag("--jsonl", options->jsonl, "JSON lines");
  command->add_flag("--binary", options->binary, "binary records for programs (not to a terminal)");
  on_run(command, [options] { return run(*options); });
}

}  // namespace insole

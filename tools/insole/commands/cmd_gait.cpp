// insole gait: strides, events and a summary per input, from captures or
// from other systems' force tables.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "gait/recording.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/gait/capture_gait.h"
#include "insole/gait/force_table_gait.h"
#include "insole/gait/gait_analysis.h"
#include "insole/gait/gait_report.h"
#include "insole/view/view_layout.h"

namespace insole {

namespace {

struct Options {
  std::vector<std::string> paths;
  std::string forces;
  int time_column = 0;
  std::string left_columns, right_columns;
  std::string layout;
  bool events = false, csv = false, summary = false;
  std::string clock = "host";
};

struct Failed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

GaitInput force_table_input(const Options& o) {
  ForceTableColumns columns;
  columns.time_column = o.time_column;
  auto left = parse_column_range(o.left_columns);
  if (!left) throw UsageError("--left-columns: " + left.error());
  auto right = parse_column_range(o.right_columns);
  if (!right) throw UsageError("--right-columns: " + right.error());
  columns.left = *left;
  columns.right = *right;
  std::optional<SensorLayout> layout;
  if (!o.layout.empty()) {
    auto read = read_sensor_layout(o.layout);
    if (!read) throw Failed(read.error());
    layout = std::move(*read);
  }
  auto table = read_force_table(o.forces, columns);
  if (!table) throw Failed(table.error());
  auto input = gait_input_of(std::move(*table), o.forces, layout ? &*layout : nullptr);
  if (!input) throw Failed(input.error());
  return std::move(*input);
}

void print(const Options& o, const GaitInput& input, const tvis::gait::Analysis& a, bool& csv_header_done) {
  if (o.summary) {
    std::printf("%s\n", summary_json(input, a.summary).c_str());
    return;
  }
  if (o.events) {
    if (input.name == "-") return;  // told live as the feed decided them
    for (int f = 0; f < 2; ++f)
      for (const auto& e : a.events[f].events) std::printf("%s\n", event_json(input, f, e).c_str());
    return;
  }
  // Both feet's strides in the order they close.
  std::vector<const tvis::gait::Stride*> strides;
  for (int f = 0; f < 2; ++f)
    for (const auto& s : a.strides[f]) strides.push_back(&s);
  std::stable_sort(strides.begin(), strides.end(),
                   [](auto* x, auto* y) { return x->times.next_contact_s < y->times.next_contact_s; });
  if (o.csv && !csv_header_done) {
    std::printf("%s\n", stride_csv_header(input).c_str());
    csv_header_done = true;
  }
  for (const auto* s : strides)
    std::printf("%s\n", (o.csv ? stride_csv_row(input, *s) : stride_json(input, *s)).c_str());
}

// One input: analysed and printed, or one line on standard error.
bool analyze(const Options& o, const std::function<GaitInput()>& read, bool& csv_header_done) {
  try {
    const GaitInput input = read();
    auto analysis = analyze_gait(input);
    if (!analysis) throw Failed(analysis.error());
    print(o, input, *analysis, csv_header_done);
    std::fflush(stdout);
    return true;
  } catch (const UsageError&) {
    throw;
  } catch (const std::runtime_error& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "insole: %s\n", e.what());
    return false;
  }
}

int run(const Options& o) {
  if (o.events + o.csv + o.summary > 1) throw UsageError("--events, --csv and --summary exclude each other");
  if (o.clock != "host" && o.clock != "device") throw UsageError("--clock: expected host or device, got \"" + o.clock + "\"");
  bool csv_header_done = false;
  if (!o.forces.empty()) {
    if (o.time_column < 1) throw UsageError("--forces needs --time-column N (counted from 1)");
    if (o.left_columns.empty() || o.right_columns.empty())
      throw UsageError("--forces needs --left-columns A-B and --right-columns C-D");
    bool all = analyze(o, [&] { return force_table_input(o); }, csv_header_done);
    for (const auto& path : o.paths) {
      Options more = o;
      more.forces = path;
      all = analyze(o, [&] { return force_table_input(more); }, csv_header_done) && all;
    }
    return all ? kExitOk : kExitFailed;
  }
  if (o.paths.empty()) throw UsageError("no input: give FILE... (- for standard input) or --forces FILE");
  const tvis::layout::CellLayout layout = load_layout(o.layout);
  bool all = true;
  for (const auto& path : o.paths) {
    // A feed on standard input tells its events as they are decided; its
    // strides need their bout's end, so they come when the feed ends.
    LiveEvents live;
    if (path == "-" && o.events) {
      live.told = [&](int foot, const tvis::gait::GaitEvent& e, const char* unit) {
        GaitInput named;
        named.name = path;
        named.load_unit = unit;
        std::printf("%s\n", event_json(named, foot, e).c_str());
        std::fflush(stdout);
      };
      live.stopped = [](int foot) {
        std::fprintf(stderr, "insole: warning: -: the %s insole's samples changed load unit; its events are "
                     "no longer told live\n", foot == 0 ? "left" : "right");
      };
    }
    all = analyze(o, [&] {
      CaptureGaitTotals totals;
      GaitInput input = gait_input_of_capture(path, layout, totals,
                                              {.device_clock = o.clock == "device", .live = live.told ? &live : nullptr});
      if (totals.repeated > 0)
        std::fprintf(stderr, "insole: warning: %s: %llu samples whose time did not advance were left out\n",
                     path.c_str(), static_cast<unsigned long long>(totals.repeated));
      return input;
    }, csv_header_done) && all;
  }
  return all ? kExitOk : kExitFailed;
}

}  // namespace

void add_gait(CLI::App& tool) {
  CLI::App* command = add_command(
      tool, "gait", "strides, gait events and a summary per recording",
      {.usage = "insole gait FILE... [--events | --csv | --summary] [--layout FILE] [--clock host|device]\n"
                "       insole gait --forces FILE [FILE...] --time-column N --left-columns A-B\n"
                "                   --right-columns C-D [--layout FILE] [--events | --csv | --summary]",
       .about = "Finds each foot's initial contacts and foot offs in its load and closes a\n"
                "stride at each contact. Reads captures (MCAP, btsnoop, raw; - for a live\n"
                "feed on standard input: --events are printed as they are decided, strides and\n"
                "the summary when it ends, since a bout's end decides which strides are\n"
                "steady) or, with --forces, text tables of per-sensor forces in newtons\n"
                "(whitespace- or tab-separated, plain or .xz, one row per sample, columns\n"
                "counted from 1; the time column in seconds).\n"
                "\n"
                "Prints one JSON line per stride, in the order strides close: times in s\n"
                "(device clock aligned onto the host clock, --clock device: each insole's own\n"
                "clock; or the table's), stance and swing\n"
                "in s and % of the stride, step time (from the other foot's contact) and double\n"
                "support (s, %), peak load and load-time integral over stance (keys end in _n\n"
                "for newtons, _device_units for the insole's own values; integrals in unit x s),\n"
                "per region peak, mean and integral (captures: the layout's regions, in newtons\n"
                "also as pressure in kPa, the force over the area of the region's cells; tables:\n"
                "one per sensor column), the centre-of-pressure path of the stance (length,\n"
                "heel-to-toe progression, medial-lateral range; captures: on the cell layout,\n"
                "in mm; tables with --layout: in the layout's units), its bout and its flags.\n"
                "\n"
                "--events: one JSON line per event (time in s, the sample it crossed on and the\n"
                "sample it was decided on: two samples later, 20 ms at 100 Hz, 40 ms at 50 Hz).\n"
                "--csv: the strides as a table with a header line. --summary: one JSON object\n"
                "per input: per foot count, excluded count, mean, SD and CV of stride, stance\n"
                "and swing time (s) and shares (%), cadence (steps/min), double support (%),\n"
                "left/right symmetry indices (100 |L-R| / mean of L and R, %) and per bout.\n"
                "\n"
                "Left out of the summary (never of the strides): the first and last stride of a\n"
                "bout, a stride across lost frames, and one whose stride time or stance share\n"
                "is outside its bout's median +- 3 scaled MADs (floors: 2 % of the median, 1\n"
                "percentage point). A bout ends when the foot stops alternating or no contact\n"
                "follows within 3 s.\n"
                "\n"
                "--layout FILE: for captures, the cell layout (the form `insole layout` prints);\n"
                "for --forces, one line \"X Y\" per left-foot sensor column in order (the right\n"
                "foot mirrored, x -> -x).",
       .notes = "Exit status: 0 when every input was analysed, 1 when one cannot be read or\n"
                "analysed (one line each on standard error: NaN or infinite values, time that\n"
                "repeats or goes backwards, an empty table, a wrong column count, text in a\n"
                "number column, a foot that never unloads), 2 for bad arguments."});
  auto options = std::make_shared<Options>();
  add_arguments(command, "FILE", options->paths, "captures (- for standard input), or more force tables");
  add_text(command, "--forces", options->forces, "FILE", "a force table (newtons per sensor, one row per sample)");
  add_value(command, "--time-column", options->time_column,
            [](const std::string& text, const std::string& name) {
              try {
                size_t used = 0;
                const int n = std::stoi(text, &used);
                if (used == text.size() && n >= 1) return n;
              } catch (const std::exception&) {
              }
              throw UsageError(name + ": expected a column number from 1, got \"" + text + "\"");
            },
            "N", "the time column (seconds), counted from 1");
  add_text(command, "--left-columns", options->left_columns, "A-B", "the left foot's sensor columns (newtons)");
  add_text(command, "--right-columns", options->right_columns, "C-D", "the right foot's sensor columns (newtons)");
  add_text(command, "--layout", options->layout, "FILE", "cell layout (captures) or sensor places (--forces)");
  add_text(command, "--clock", options->clock, "host|device",
           "captures: times on the device clock aligned onto the host clock (host, the default: both feet on "
           "one base), or on each insole's own clock in s (device: the times the SDK's gait events carry)");
  command->add_flag("--events", options->events, "one JSON line per gait event");
  command->add_flag("--csv", options->csv, "strides as a CSV table");
  command->add_flag("--summary", options->summary, "one summary JSON object per input");
  on_run(command, [options] { return run(*options); });
}

}  // namespace insole

#include "insole/sources/source_options.h"

#include <cstdlib>

#include "insole/cli/cli.h"
#include "insole/cli/values.h"
#include "trova_insole_sdk.h"

namespace insole {

double parse_speed(std::string_view text, std::string_view option) {
  const std::string copy(text);
  char* end = nullptr;
  const double x = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(x >= 0.01 && x <= 1000))
    throw UsageError("invalid value '" + copy + "' for " + std::string(option) + " (expected a factor from 0.01 to 1000)");
  return x;
}

double parse_seek(std::string_view text, std::string_view option) {
  const std::string copy(text);
  char* end = nullptr;
  const double s = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(s >= 0 && s <= 1e7))
    throw UsageError("invalid value '" + copy + "' for " + std::string(option) + " (expected seconds, 0 or more)");
  return s;
}

double parse_positive_seconds(std::string_view text, std::string_view option) {
  const std::string copy(text);
  char* end = nullptr;
  const double s = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(s > 0 && s <= 86400))
    throw UsageError("invalid value '" + copy + "' for " + std::string(option) +
                     " (expected seconds, more than 0 and at most 86400)");
  return s;
}

tvis::sim::Activity parse_gait(std::string_view text) {
  if (text == "idle") return tvis::sim::Activity::Idle;
  if (text == "standing") return tvis::sim::Activity::Standing;
  if (text == "walking") return tvis::sim::Activity::Walking;
  if (text == "running") return tvis::sim::Activity::Running;
  throw UsageError("invalid value '" + std::string(text) + "' for --gait (expected idle, standing, walking or running)");
}

void ask_device_info(Source& source, const SourceEvent& first) {
  const uint8_t dest = first.foot == "right" ? 3 : 2;
  ByteBuffer request = tvis_build_device_info_request_with_dest(1, dest);
  if (request.data != nullptr) source.write(first.device_id, {request.data, request.len});
  tvis_free_bytes(request.data, request.len);
}

void add_max_gap_option(CLI::App* command, SourceOptions& options) {
  add_value(command, "--max-gap", options.max_gap_seconds, parse_positive_seconds, "S",
            "wait at most S seconds (of replay time) on one gap\nin the capture's log times (default 5)");
}

void add_source_options(CLI::App* command, SourceOptions& options) {
  command->add_option("--mock", options.mock, "a mock insole with this id (repeatable; default: left and right)")
      ->type_name("ID");
  command->add_option("--virtual", options.virtual_feet, "a virtual insole of this foot (repeatable)")
      ->type_name("left|right");
  add_text(command, "--gait", options.gait, "G", "what the virtual insoles' walker does: idle, standing,\nwalking (default) or running");
  add_text(command, "--replay", options.replay, "FILE", "replay a capture (MCAP or raw) at its recorded pace");
  add_value(command, "--speed", options.speed, parse_speed, "X", "replay X times as fast (default 1)");
  command->add_flag("--fast", options.fast, "replay as fast as the capture reads");
  add_value(command, "--seek", options.seek_seconds, parse_seek, "S", "replay from S seconds into the capture");
  add_max_gap_option(command, options);
  add_text(command, "--feed", options.feed, "-|HOST:PORT",
           "a live feed on standard input, or from hosts\nconnecting to HOST:PORT (one at a time)");
  add_value(command, "--feed-idle", options.feed_idle_seconds, parse_positive_seconds, "S",
            "let a HOST:PORT host go after S seconds without\na byte, so the next can connect (default 10)");
}

bool source_chosen(const SourceOptions& options) {
  return !options.mock.empty() || !options.virtual_feet.empty() || !options.replay.empty() || !options.feed.empty();
}

std::unique_ptr<Source> open_source(const SourceOptions& options) {
  const int kinds = !options.mock.empty() + !options.virtual_feet.empty() + !options.replay.empty() + !options.feed.empty();
  if (kinds > 1) throw UsageError("give one source: --mock, --virtual, --replay or --feed");
  const bool paced = options.speed != 1.0 || options.fast || options.seek_seconds != 0;
  if (paced && options.replay.empty()) throw UsageError("--speed, --fast and --seek apply to --replay only");
  if (options.max_gap_seconds != 0 && options.replay.empty()) throw UsageError("--max-gap applies to --replay only");
  if (options.fast && options.speed != 1.0) throw UsageError("give --speed or --fast, not both");
  if (!options.gait.empty() && options.virtual_feet.empty()) throw UsageError("--gait applies to --virtual only");
  if (!options.virtual_feet.empty()) {
    for (const auto& foot : options.virtual_feet)
      if (foot != "left" && foot != "right")
        throw UsageError("invalid value '" + foot + "' for --virtual (expected left or right)");
    return open_virtual_source(options.virtual_feet,
                               options.gait.empty() ? tvis::sim::Activity::Walking : parse_gait(options.gait));
  }
  if (!options.replay.empty())
    return open_replay_source(options.replay, options.speed, options.fast, options.seek_seconds,
                              options.max_gap_seconds != 0 ? options.max_gap_seconds : 5.0);
  if (options.feed_idle_seconds != 0 && (options.feed.empty() || options.feed == "-"))
    throw UsageError("--feed-idle applies to --feed HOST:PORT only");
  if (!options.feed.empty())
    return open_feed_source(options.feed, options.feed_idle_seconds != 0 ? options.feed_idle_seconds : 10.0);
  if (!options.mock.empty()) {
    for (const auto& id : options.mock)
      if (id.empty()) throw UsageError("--mock needs a non-empty id");
    return open_mock_source(options.mock);
  }
  return open_mock_source({"left", "right"});
}

}  // namespace insole

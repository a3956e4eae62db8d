// insole build: the frame of a command, as hex or raw bytes.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "protocol/commands.h"
#include "terminal.h"
#include "trova_insole_sdk.h"
#include "util/hex.h"

namespace insole {

namespace {

constexpr const char* kClockVariable = "INSOLE_FIXED_CLOCK_MS";

constexpr OptionSpec kOptions[] = {
    {"msg-id", true},     {"dest", true},          {"raw", false},       {"rate", true},
    {"pressure-mode", true}, {"shear-mode", true}, {"imu-mode", true},   {"pressure", false},
    {"no-pressure", false},  {"shear", false},     {"no-shear", false},  {"acc", false},
    {"no-acc", false},       {"gyro", false},      {"no-gyro", false},   {"start", false},
    {"no-start", false},     {"serial", true},     {"device-id", true},  {"model", true},
    {"mac", true},           {"key", true},
};
// Options every command takes; the others belong to the commands that list them.
constexpr std::string_view kCommon[] = {"msg-id", "dest", "raw"};

using Frame = std::vector<uint8_t>;

struct Request {
  uint32_t msg_id;
  uint8_t dest;
  const Args& args;
};

Frame take(ByteBuffer buffer) {
  if (buffer.data == nullptr) throw std::runtime_error("the frame could not be built");
  Frame frame(buffer.data, buffer.data + buffer.len);
  tvis_free_bytes(buffer.data, buffer.len);
  return frame;
}

Frame take(tvis::Result<std::vector<uint8_t>, std::string> built) {
  if (!built) throw std::runtime_error("the frame could not be built: " + built.error());
  return std::move(built).value();
}

uint32_t rate(const Request& r) {
  auto text = r.args.value("rate");
  return text ? parse_u32(*text, "--rate") : tvis::protocol::DEFAULT_SAMPLE_RATE_HZ;
}

uint32_t mode(const Request& r, const char* option, uint32_t fallback) {
  auto text = r.args.value(option);
  if (!text) return fallback;
  if (auto value = tvis::protocol::parse_data_mode(*text)) return *value;
  throw UsageError("invalid value '" + *text + "' for --" + option + " (expected calibrated, raw or both)");
}

Frame stream_config(const Request& r) {
  const tvis::protocol::StreamConfig d;  // the defaults of the builder
  return take(tvis_build_sensor_stream_config_request(
      r.msg_id, r.dest, rate(r), mode(r, "pressure-mode", d.pressure_mode), mode(r, "shear-mode", d.shear_mode),
      mode(r, "imu-mode", d.imu_mode), r.args.toggle("pressure", d.pressure_enabled),
      r.args.toggle("shear", d.shear_enabled), r.args.toggle("acc", d.acc_enabled),
      r.args.toggle("gyro", d.gyro_enabled), r.args.toggle("start", d.start_stream)));
}

Frame set_factory_config(const Request& r) {
  tvis::protocol::FactoryConfig config;
  config.serial_number = r.args.value("serial").value_or("");
  config.model_name = r.args.value("model").value_or("");
  config.mac_address = r.args.value("mac").value_or("");
  config.factory_key = r.args.value("key").value_or("");
  if (auto id = r.args.value("device-id")) config.device_id = parse_dest(*id, "--device-id");
  return take(tvis::protocol::build_request_frame(
      tvis::protocol::set_factory_config_request(r.msg_id, std::move(config)), r.dest));
}

struct Builder {
  std::string_view name;
  std::vector<std::string_view> options;  // beyond the common ones
  Frame (*build)(const Request&);
};

const std::vector<Builder>& builders() {
  static const std::vector<Builder> table = {
      {"device-info", {}, [](const Request& r) { return take(tvis_build_device_info_request_with_dest(r.msg_id, r.dest)); }},
      {"battery", {}, [](const Request& r) { return take(tvis_build_battery_request_with_dest(r.msg_id, r.dest)); }},
      {"runtime-info", {}, [](const Request& r) { return take(tvis_build_runtime_info_request_with_dest(r.msg_id, r.dest)); }},
      {"sensor-config", {}, [](const Request& r) { return take(tvis_build_sensor_config_request_with_dest(r.msg_id, r.dest)); }},
      {"device-status", {}, [](const Request& r) { return take(tvis_build_device_status_request_with_dest(r.msg_id, r.dest)); }},
      {"start-stream", {}, [](const Request& r) { return take(tvis_build_start_sensor_stream_request_with_dest(r.msg_id, r.dest)); }},
      {"stop-stream", {}, [](const Request& r) { return take(tvis_build_stop_sensor_stream_request_with_dest(r.msg_id, r.dest)); }},
      {"set-sensor-config", {"rate"},
       [](const Request& r) { return take(tvis_build_set_sensor_config_request_with_dest(r.msg_id, rate(r), r.dest)); }},
      {"enable-stream", {"rate"},
       [](const Request& r) { return take(tvis_build_enable_sensor_stream_request_with_dest(r.msg_id, rate(r), r.dest)); }},
      {"stream-config",
       {"rate", "pressure-mode", "shear-mode", "imu-mode", "pressure", "no-pressure", "shear", "no-shear", "acc",
        "no-acc", "gyro", "no-gyro", "start", "no-start"},
       stream_config},
      {"get-factory-config", {},
       [](const Request& r) {
         return take(tvis::protocol::build_request_frame(
             tvis::protocol::query_request(r.msg_id, tvis::protocol::Query::FactoryConfig), r.dest));
       }},
      {"set-factory-config", {"serial", "device-id", "model", "mac", "key"}, set_factory_config},
  };
  return table;
}

void check_options_apply(const Builder& b, const Args& args) {
  for (const auto& [name, value] : args.given()) {
    bool ok = false;
    for (auto common : kCommon) ok = ok || name == common;
    for (auto own : b.options) ok = ok || name == own;
    if (!ok) throw UsageError("option --" + name + " does not apply to " + std::string(b.name));
  }
}

void pin_clock() {
  const char* fixed = std::getenv(kClockVariable);
  if (fixed == nullptr || fixed[0] == '\0') return;
  try {
    tvis::protocol::set_wall_clock_override(parse_u64(fixed, kClockVariable));
  } catch (const UsageError&) {
    throw UsageError(std::string(kClockVariable) + " must be a whole number of milliseconds, not '" + fixed + "'");
  }
}

int run(std::span<const std::string> argv) {
  const Args args(argv, kOptions);
  args.expect_positionals(1, 1, "COMMAND (see `insole build --help`)");
  const std::string& name = args.positionals()[0];
  const Builder* builder = nullptr;
  for (const auto& b : builders())
    if (b.name == name) builder = &b;
  if (builder == nullptr) throw UsageError("unknown command frame '" + name + "' (see `insole build --help`)");
  check_options_apply(*builder, args);

  const uint32_t msg_id = args.has("msg-id") ? parse_u32(*args.value("msg-id"), "--msg-id") : 1;
  const uint8_t dest = args.has("dest") ? parse_dest(*args.value("dest"), "--dest") : TVIS_DEVICE_LEFT;
  const bool raw = args.has("raw");
  if (raw && term::stdout_is_tty()) throw UsageError("refusing to write raw bytes to a terminal (redirect the output)");
  pin_clock();

  const Frame frame = builder->build(Request{msg_id, dest, args});
  if (raw) {
    std::fwrite(frame.data(), 1, frame.size(), stdout);
  } else {
    std::string hex;
    tvis::append_hex(hex, frame);
    std::printf("%s\n", hex.c_str());
  }
  return kExitOk;
}

}  // namespace

const Command kBuildCommand{
    "build",
    "print the frame of a command to an insole",
    "usage: insole build COMMAND [--msg-id N] [--dest left|right|N] [--raw] [options]\n"
    "\n"
    "Prints the frame the host writes to an insole for COMMAND, as upper-case\n"
    "hex on one line (or the bytes themselves with --raw). Frames carry the\n"
    "wall clock in milliseconds; set INSOLE_FIXED_CLOCK_MS to pin it for\n"
    "reproducible output.\n"
    "\n"
    "commands:\n"
    "  device-info  battery  runtime-info  sensor-config  device-status\n"
    "  start-stream  stop-stream  get-factory-config\n"
    "  set-sensor-config [--rate N]   acc and gyro on (calibrated), pressure on\n"
    "                                 (raw), shear off; all off at rate 0\n"
    "  enable-stream [--rate N]       the same, plus start (stop at rate 0)\n"
    "  stream-config [--rate N] [--pressure-mode M] [--shear-mode M]\n"
    "                [--imu-mode M] [--[no-]pressure] [--[no-]shear]\n"
    "                [--[no-]acc] [--[no-]gyro] [--no-start]\n"
    "                every switch and mode (M: calibrated, raw or both);\n"
    "                defaults: pressure raw and on, shear calibrated and off,\n"
    "                imu calibrated, acc and gyro on, start the stream\n"
    "  set-factory-config [--serial S] [--device-id left|right|N]\n"
    "                     [--model S] [--mac S] [--key S]\n"
    "\n"
    "options:\n"
    "  --msg-id N    message id the insole echoes (default 1)\n"
    "  --dest D      destination: left (2, default), right (3) or a number\n"
    "  --rate N      sample rate in Hz (default 50)\n"
    "  --raw         write the frame's bytes instead of hex\n"
    "  -h, --help    this text\n",
    run,
};

}  // namespace insole

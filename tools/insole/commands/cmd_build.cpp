// insole build: the frame of a command, as hex or raw bytes. Each command
// frame is a subcommand of build with the options that apply to it.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "protocol/commands.h"
#include "insole/console/terminal.h"
#include "trova_insole_sdk.h"
#include "util/hex.h"

namespace insole {

namespace {

constexpr const char* kClockVariable = "INSOLE_FIXED_CLOCK_MS";

using Frame = std::vector<uint8_t>;

// The options of build itself, which every frame takes.
struct Common {
  uint32_t msg_id = 1;
  uint8_t dest = TVIS_DEVICE_LEFT;
  bool raw = false;
};

using Make = std::function<Frame(const Common&)>;

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

uint32_t parse_mode(std::string_view text, std::string_view option) {
  if (auto value = tvis::protocol::parse_data_mode(text)) return *value;
  throw UsageError("invalid value '" + std::string(text) + "' for " + std::string(option) +
                   " (expected calibrated, raw or both)");
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

int write_frame(const Common& common, const Make& make) {
  if (common.raw && term::stdout_is_tty())
    throw UsageError("refusing to write raw bytes to a terminal (redirect the output)");
  pin_clock();
  const Frame frame = make(common);
  if (common.raw) {
    std::fwrite(frame.data(), 1, frame.size(), stdout);
  } else {
    std::string hex;
    tvis::append_hex(hex, frame);
    std::printf("%s\n", hex.c_str());
  }
  return kExitOk;
}

CLI::App* add_frame(CLI::App* build, const std::shared_ptr<const Common>& common, const std::string& name,
                    const std::string& summary, const Help& help, Make make) {
  CLI::App* frame = add_command(*build, name, summary, help);
  frame->fallthrough();  // build's own options may follow the frame's name
  on_run(frame, [common, make = std::move(make)] { return write_frame(*common, make); });
  return frame;
}

CLI::Option* add_rate(CLI::App* frame, uint32_t& rate) {
  return add_value(frame, "--rate", rate, parse_u32, "N", "sample rate in Hz (default 50)");
}

// Frames that carry nothing but the message id.
struct Query {
  const char* name;
  const char* summary;
  ByteBuffer (*build)(uint32_t msg_id, uint8_t dest);
};

constexpr Query kQueries[] = {
    {"device-info", "ask for the device information", tvis_build_device_info_request_with_dest},
    {"battery", "ask for the battery level", tvis_build_battery_request_with_dest},
    {"runtime-info", "ask for the runtime information", tvis_build_runtime_info_request_with_dest},
    {"sensor-config", "ask for the sensor configuration", tvis_build_sensor_config_request_with_dest},
    {"device-status", "ask for the device status", tvis_build_device_status_request_with_dest},
    {"start-stream", "start the sensor stream", tvis_build_start_sensor_stream_request_with_dest},
    {"stop-stream", "stop the sensor stream", tvis_build_stop_sensor_stream_request_with_dest},
};

void add_rate_frames(CLI::App* build, const std::shared_ptr<const Common>& common) {
  auto rate = std::make_shared<uint32_t>(tvis::protocol::DEFAULT_SAMPLE_RATE_HZ);
  add_rate(add_frame(build, common, "set-sensor-config", "the standard sensor setup at --rate N (all off at 0)",
                     {.about = "The standard sensor setup: acc and gyro on (calibrated), pressure on\n"
                               "(raw), shear off; all off at rate 0."},
                     [rate](const Common& c) {
                       return take(tvis_build_set_sensor_config_request_with_dest(c.msg_id, *rate, c.dest));
                     }),
           *rate);
  add_rate(add_frame(build, common, "enable-stream", "set-sensor-config plus a start (a stop at rate 0)",
                     {.about = "The configuration of set-sensor-config, plus a start of the stream (a stop\n"
                               "at rate 0)."},
                     [rate](const Common& c) {
                       return take(tvis_build_enable_sensor_stream_request_with_dest(c.msg_id, *rate, c.dest));
                     }),
           *rate);
}

void add_stream_config(CLI::App* build, const std::shared_ptr<const Common>& common) {
  auto config = std::make_shared<tvis::protocol::StreamConfig>();
  CLI::App* frame = add_frame(
      build, common, "stream-config", "every sensor switch and mode, at --rate N",
      {.about = "Sets every sensor switch and mode at one sample rate and starts the\n"
                "stream (--no-start leaves it as it is). A mode M is calibrated, raw or\n"
                "both. The defaults: pressure raw and on, shear calibrated and off, IMU\n"
                "calibrated, acc and gyro on. Of --x and --no-x the last one given counts."},
      [config](const Common& c) {
        const auto& d = *config;
        return take(tvis_build_sensor_stream_config_request(
            c.msg_id, c.dest, d.sample_rate_hz, d.pressure_mode, d.shear_mode, d.imu_mode, d.pressure_enabled,
            d.shear_enabled, d.acc_enabled, d.gyro_enabled, d.start_stream));
      });
  add_rate(frame, config->sample_rate_hz);
  add_value(frame, "--pressure-mode", config->pressure_mode, parse_mode, "M", "pressure mode (default raw)");
  add_value(frame, "--shear-mode", config->shear_mode, parse_mode, "M", "shear mode (default calibrated)");
  add_value(frame, "--imu-mode", config->imu_mode, parse_mode, "M", "IMU mode (default calibrated)");
  frame->add_flag("--pressure,!--no-pressure", config->pressure_enabled, "pressure cells on or off (default on)");
  frame->add_flag("--shear,!--no-shear", config->shear_enabled, "shear on or off (default off)");
  frame->add_flag("--acc,!--no-acc", config->acc_enabled, "accelerometer on or off (default on)");
  frame->add_flag("--gyro,!--no-gyro", config->gyro_enabled, "gyroscope on or off (default on)");
  frame->add_flag("--start,!--no-start", config->start_stream, "start the stream or not (default start)");
}

void add_set_factory_config(CLI::App* build, const std::shared_ptr<const Common>& common) {
  auto config = std::make_shared<tvis::protocol::FactoryConfig>();
  CLI::App* frame = add_frame(build, common, "set-factory-config", "write the factory configuration",
                              {.about = "Fields not given are sent empty (the device id as 0)."},
                              [config](const Common& c) {
                                return take(tvis::protocol::build_request_frame(
                                    tvis::protocol::set_factory_config_request(c.msg_id, *config), c.dest));
                              });
  add_text(frame, "--serial", config->serial_number, "S", "serial number");
  add_value(frame, "--device-id", config->device_id, parse_dest, "D", "device id: left, right or a number");
  add_text(frame, "--model", config->model_name, "S", "model name");
  add_text(frame, "--mac", config->mac_address, "S", "MAC address");
  add_text(frame, "--key", config->factory_key, "S", "factory key");
}

}  // namespace

void add_build(CLI::App& tool) {
  CLI::App* build = add_command(
      tool, "build", "print the frame of a command to an insole",
      {.usage = "insole build COMMAND [--msg-id N] [--dest D] [--raw] [options of COMMAND]",
       .about = "Prints the frame the host writes to an insole for COMMAND, as upper-case\n"
                "hex on one line (or the bytes themselves with --raw). Frames carry the\n"
                "wall clock in milliseconds; set INSOLE_FIXED_CLOCK_MS to pin it for\n"
                "reproducible output.",
       .notes = "Run `insole build COMMAND --help` for the options of one command.",
       .subcommand_noun = "command frame"});
  build->require_subcommand(1);
  auto common = std::make_shared<Common>();
  add_value(build, "--msg-id", common->msg_id, parse_u32, "N", "message id the insole echoes (default 1)");
  add_value(build, "--dest", common->dest, parse_dest, "D", "destination: left (2, default), right (3) or a number");
  build->add_flag("--raw", common->raw, "write the frame's bytes instead of hex");

  for (const Query& query : kQueries)
    add_frame(build, common, query.name, query.summary, {},
              [build_query = query.build](const Common& c) { return take(build_query(c.msg_id, c.dest)); });
  add_frame(build, common, "get-factory-config", "ask for the factory configuration", {}, [](const Common& c) {
    return take(tvis::protocol::build_request_frame(
        tvis::protocol::query_request(c.msg_id, tvis::protocol::Query::FactoryConfig), c.dest));
  });
  add_rate_frames(build, common);
  add_stream_config(build, common);
  add_set_factory_config(build, common);
}

}  // namespace insole

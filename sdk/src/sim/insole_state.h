// The inside of a virtual insole, shared by the files that each play one part
// of it: the link, output and clock (virtual_insole.cpp), requests
// (requests.cpp), the stream and the body it measures (stream.cpp), and the
// firmware update (firmware_update.cpp). Private to this room.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/messages.h"
#include "protocol/message_stream.h"
#include "sim/gait.h"
#include "sim/output_queue.h"
#include "sim/random.h"
#include "sim/sensors.h"
#include "sim/virtual_insole.h"

namespace tvis::sim {

using namespace protocol;

inline constexpr std::string_view kTarget = "trova_insole_sdk::sim";
inline constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

enum class Ota : uint8_t { Idle, Receiving, Verifying, Verified };

// The update state an answer reports.
inline int32_t ota_state_of(Ota o) {
  switch (o) {
    case Ota::Idle: return IDLE;
    case Ota::Receiving: return DOWNLOADING;
    case Ota::Verifying: return VERIFYING;
    case Ota::Verified: return REBOOTING;
  }
  return IDLE;
}

inline uint64_t us_of_ms(uint64_t ms) { return ms * 1000; }

inline std::string hex8(uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 4) out[i] = digits[v & 0xF];
  return out;
}

struct VirtualInsole::State {
  Config cfg;
  Identity id;
  Random noise;      // sensor noise
  Random fault_rng;  // notification faults: drawing them never shifts the signals
  GaitModel gait;
  // The host's writes: frames only, and a frame whose CRC fails is dropped
  // (the insole answers nothing it cannot trust).
  MessageStream requests{StreamOptions{CrcPolicy::strict, false}};
  OutputQueue out;
  Stats stats;
  uint64_t now = 0;
  uint64_t created = 0;
  uint64_t boot = 0;  // driver time of the last power-on
  uint64_t boot_rtc_ms = 0;

  // Link and power.
  bool link_up = true;
  bool powered = true;
  bool host_disconnected = false;
  uint64_t link_back_at = kNever;
  bool frames_fault_fired = false;
  uint64_t frames_at_faults = 0;  // frames sent when the faults were set

  // Stream.
  SensorConfig sensor;
  bool streaming = false;
  double stream_start_dev_us = 0.0;  // device time of the stream's start
  uint32_t frame_rate = 0;
  uint64_t sample_n = 0;  // samples of this stream so far
  uint64_t next_sample = kNever;
  uint32_t seq = 0;
  int64_t last_battery_second = -1;
  ImuOffset factory_imu_offset;
  ShearOffset factory_shear_offset;
  Readings readings;

  // Battery and activity.
  double battery = 80.0;
  bool charging = false;
  uint64_t battery_at = 0;
  uint64_t next_housekeeping = kNever;
  size_t segment = 0;
  uint64_t next_segment = kNever;
  std::vector<GaitTruth> truth;   // told by the walker, not yet taken
  std::vector<TruthEvent> truth_scratch;

  // Firmware update.
  Ota ota = Ota::Idle;
  uint32_t file_size = 0;
  uint32_t file_crc = 0;
  std::vector<uint8_t> image;
  uint32_t chunks_received = 0;
  uint32_t ota_answers = 0;
  int bad_crc_run = 0;
  bool upload_fault_fired = false;
  uint64_t last_ota = 0;
  uint64_t verify_at = kNever;
  uint64_t auto_reboot_at = kNever;
  uint64_t boot_at = kNever;

  // Scratch kept between messages, so a stream sample allocates nothing.
  InsoleResp msg;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> frame;
  State(Config c, uint64_t now_us);

  // Clock.

  double drift() const { return 1.0 + cfg.drift_ppm * 1e-6; }
  double device_us(uint64_t t) const { return static_cast<double>(t - boot) * drift(); }
  uint32_t clock_ms_at(double dev_us) const;
  uint32_t clock_ms() const { return clock_ms_at(device_us(now)); }
  uint64_t rtc_ms(uint64_t t) const { return cfg.rtc_epoch_ms + (t - created) / 1000; }

  // Output (virtual_insole.cpp).

  FrameHeader out_header() const;

  // Encodes msg into a frame and queues it in notification-sized pieces, the
  // link faults applied per piece. Returns false when nothing was queued.
  bool send(uint64_t delay_us = 0);
  void send_event(int32_t type);

  // Link and power (virtual_insole.cpp).

  void drop_link(uint64_t back_at);
  void restore_link();
  void power_on(uint64_t t);
  void power_off();

  // Reboots, into the new image when one was verified. The link is down
  // while the insole restarts.
  void reboot(const char* why);

  // Stream (stream.cpp).

  bool any_subscribed() const;
  uint32_t rate_of_frames() const;
  void start_stream();
  void stop_stream();

  // Samples fall on the insole's own clock; the driver's time of sample n
  // follows from it through the drift.
  double sample_dev_us(uint64_t n) const { return stream_start_dev_us + static_cast<double>(n) * 1e6 / frame_rate; }
  void schedule_sample() { next_sample = host_of(sample_dev_us(sample_n + 1)); }
  uint64_t host_of(double dev_us) const;

  // Whether a part sampled at rate r has a sample in frame n of a stream
  // running at the frame rate.
  bool part_due(uint32_t r, uint64_t n) const;
  void take_sample();

  // Battery and activity (stream.cpp).

  BatteryData battery_data() const;
  void update_battery();
  void change_activity(Activity a);
  void next_schedule_segment();
  // Moves the walker's events up to now into `truth`, on the current clock.
  void collect_truth();

  // Firmware update (firmware_update.cpp).

  void reset_update();
  void abandon_update(const char* why);

  // Sends msg as an update answer: it counts for the lost-answer fault and
  // leaves after the configured delay.
  void send_ota_answer();
  void ota_answer(int32_t state, uint32_t offset, int32_t result, int32_t& err);
  bool stage_fault(OtaStage stage, const char* what);

  // Returns false when the request ended the link instead of being answered.
  bool handle_ota_req(const OtaReq& req, int32_t& err);
  bool handle_ota_data(const OtaData& d, int32_t& err);
  void finish_verify();

  // Requests (requests.cpp).

  bool busy() const { return ota != Ota::Idle; }

  void apply_sensor_config(const SensorConfig& want, int32_t& err);
  bool apply_factory_config(const FactoryConfig& fc, int32_t& err);
  FactoryConfig factory_config() const;
  DeviceInfo device_info() const;
  void handle_request(const InsoleReq& req);

  // A frame for another foot, with strict addressing: refused, but answered
  // so the host learns why.
  void refuse_frame(const InsoleReq* req, uint8_t dest);
  void handle_frame(const FrameHeader& header, std::span<const uint8_t> bytes);
  void write(std::span<const uint8_t> bytes);

  // Time (virtual_insole.cpp).

  uint64_t next_timer() const;
  void advance_to(uint64_t target);
};

}  // namespace tvis::sim

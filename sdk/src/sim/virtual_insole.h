// A virtual insole: the device side of the link, for hosts and tests without
// hardware. It reads the bytes the host writes, answers every request the
// way an insole does, streams samples from a gait model, and plays the
// firmware update the SDK's DFU worker drives. It owns no thread and reads
// no clock: the driver tells it the time (advance_to) and collects what it
// sends (drain). Everything it does follows from its Config, the seed, the
// bytes written and the times given, so a run can be repeated exactly.
// Behaviour the protocol leaves open is listed in sim/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "sim/gait.h"
#include "util/function_ref.h"

namespace tvis::sim {

struct Identity {
  int32_t foot = protocol::DEVICE_LEFT;  // DEVICE_LEFT (2) or DEVICE_RIGHT (3)
  std::string serial_number = "VI0000001";
  uint32_t product_id = 0x5649;
  std::string model_name = "Virtual Insole";
  std::string fw_version = "1.0.0";
  std::string hw_version = "1.0";
  std::string git_commit = "0000000";
  std::string mac = "02:00:00:00:00:01";
  // Empty: factory writes need no key. Otherwise they must carry this one.
  std::string factory_key;
};

// The identity of the n-th of several virtual insoles (n from 1): serial
// VI0000001, MAC 02:00:00:00:00:01 (locally administered), and so on up to
// 2^16 insoles, so insoles run side by side never report the same unit.
// n 1 is the default Identity.
Identity numbered_identity(uint64_t n, int32_t foot);

// The update stages in which disconnect_in_ota drops the link, on receiving
// the request that opens the stage (for Upload: the chunk at or past the
// image's middle), before answering it.
enum class OtaStage : uint8_t { None, Handshake, Upload, Verify, Reboot };

struct Faults {
  // Per notification, drawn from the seed (independently of the signals).
  double loss = 0.0;         // never sent
  double corruption = 0.0;   // one bit flipped
  double duplication = 0.0;  // sent twice
  double delay = 0.0;        // held back delay_ms, and everything behind it with it
  uint32_t delay_ms = 200;

  // Drop the link once after this many frames sent since the faults were
  // set (0: never).
  uint64_t disconnect_after_frames = 0;
  OtaStage disconnect_in_ota = OtaStage::None;
  uint32_t lose_ota_answer = 0;      // the n-th update answer (1 = the handshake's) is never sent
  uint32_t corrupt_chunk = 0;        // the n-th chunk received fails its CRC-32 check...
  uint32_t corrupt_chunk_count = 1;  // ...and so do this many in a row
  int32_t refuse_update = 0;         // OtaResult the handshake is answered with (0: accept)
  uint32_t ota_answer_delay_ms = 0;  // every update answer leaves this much later
};

struct ActivitySegment {
  Activity activity = Activity::Standing;
  uint32_t seconds = 10;
};

struct Config {
  Identity identity;
  uint64_t seed = 1;
  std::string name = "virtual";  // in log lines only
  size_t mtu_payload = 244;      // bytes per notification, 1 to 512
  bool strict_dest = false;      // refuse frames addressed to another foot

  // The insole's clock: timestamp_ms reads clock_offset_ms at power-on and
  // then runs drift_ppm fast (negative: slow) against the driver's clock.
  uint32_t clock_offset_ms = 0;
  double drift_ppm = 0.0;
  uint64_t rtc_epoch_ms = 1'700'000'000'000;  // real-time clock at creation (boot_time)

  // The walker. A non-empty schedule repeats for ever and overrides activity.
  Activity activity = Activity::Standing;
  std::vector<ActivitySegment> schedule;
  double body_mass_kg = 70.0;
  double cadence_spm = 0.0;  // 0: 108 walking, 165 running
  // Keep the walker's own contact and foot-off times for take_truth.
  bool gait_truth = false;

  // Battery, in per cent per hour of the insole's clock.
  double battery_pct = 80.0;
  bool charging = false;
  double drain_pct_per_hour = 2.0;
  double stream_drain_pct_per_hour = 10.0;
  double charge_pct_per_hour = 60.0;

  // Firmware update.
  uint32_t ota_min_battery_pct = 20;  // below it (not charging) an update is refused
  size_t max_image_size = 2 * 1024 * 1024;
  uint32_t verify_ms = 200;            // from VERIFY to the verdict
  uint32_t auto_reboot_ms = 3000;      // a verified image waits this long for REBOOT
  uint32_t ota_idle_timeout_ms = 30000;  // an update without requests is given up
  uint32_t reboot_ms = 1500;           // link down while rebooting
  uint32_t link_down_ms = 2000;        // link down after a fault's disconnect

  bool factory_access = true;  // false: factory queries and writes are NOT_SUPPORTED
  size_t max_queued_bytes = 256 * 1024;  // undelivered output beyond this is dropped
  Faults faults;
};

// One of the walker's own gait events, on the insole's clock: what a
// detector fed from this insole's stream should find. Faults of the link
// (loss, duplication, delay) never move it; they only change what the host
// gets to see of the loads around it.
struct GaitTruth {
  FootEvent event = FootEvent::InitialContact;
  double device_ms = 0.0;  // device time, in milliseconds of the insole's clock (not rounded)
  uint64_t host_us = 0;    // the driver's clock, in microseconds
};

// What the insole hands the driver, in order. Bytes live until the sink returns.
struct Output {
  enum class Kind : uint8_t { Notification, LinkDropped, LinkRestored };
  Kind kind = Kind::Notification;
  std::span<const uint8_t> bytes;
};

struct Stats {
  uint64_t frames_in = 0;        // frames that reached the request handler
  uint64_t crc_errors = 0;       // frames dropped for a bad CRC-16
  uint64_t dropped_bytes = 0;    // bytes skipped while looking for a frame
  uint64_t overflows = 0;        // reassembly buffer overflows
  uint64_t undecodable = 0;      // frames whose payload is no InsoleReq
  uint64_t refused_dest = 0;     // frames for another foot (strict_dest)
  uint64_t written_while_down = 0;  // bytes written while the link was down
  uint64_t answers = 0;          // InsoleResp frames answering a request
  uint64_t samples = 0;          // stream samples taken
  uint64_t samples_dropped = 0;  // samples taken while the output queue was full
  uint64_t events = 0;           // device events sent
  uint64_t frames_out = 0;
  uint64_t notifications = 0;
  uint64_t lost = 0, corrupted = 0, duplicated = 0, delayed = 0;  // injected
  uint64_t overflowed = 0;       // frames dropped because the output queue was full
  uint64_t link_drops = 0;
  uint64_t updates_completed = 0;  // images verified and booted
};

class VirtualInsole {
 public:
  // The insole powers on at now_us of the driver's clock, link up.
  explicit VirtualInsole(Config config, uint64_t now_us = 0);
  ~VirtualInsole();
  VirtualInsole(VirtualInsole&&) noexcept;
  VirtualInsole& operator=(VirtualInsole&&) noexcept;

  // Bytes the host wrote, in any pieces. Requests are answered at the
  // current time; bytes written while the link is down are lost.
  void write(std::span<const uint8_t> bytes);

  // Moves the clock forward (an earlier time is ignored), doing everything
  // that falls due on the way: samples at their own instants, battery,
  // events, update timers, the link coming back.
  void advance_to(uint64_t now_us);

  // The next instant at which the insole will have something to do or send.
  uint64_t next_due_us() const;

  // Hands over, in order, every output whose time has come.
  void drain(FunctionRef<void(const Output&)> sink);
  // The same, keeping only the notifications (link changes show in connected()).
  std::vector<std::vector<uint8_t>> take_notifications();

  // Scenario controls, effective at the current time.
  void set_activity(Activity activity);
  void set_charging(bool charging);
  void set_link(bool up);  // the host connects or disconnects
  void set_faults(const Faults& faults);

  uint64_t now_us() const;
  bool connected() const;
  bool powered() const;
  bool streaming() const;
  Activity activity() const;
  double battery_pct() const;
  uint32_t clock_ms() const;  // what timestamp_ms would read now
  protocol::DeviceInfo device_info() const;
  protocol::SensorConfig sensor_config() const;
  const Stats& stats() const;
  // With Config::gait_truth: the walker's events up to now not taken before,
  // in order. The device time is the clock of the power-on in force when the
  // event happened. Empty without gait_truth.
  std::vector<GaitTruth> take_truth();
  size_t queued_bytes() const;

  // The version a verified image boots as: the text after the first
  // "VERSION=" in the image (up to 31 printable ASCII characters), or else
  // "sim-" and the image's CRC-32 in eight upper-case hex digits.
  static std::string version_of_image(std::span<const uint8_t> image);

  struct State;

 private:
  std::unique_ptr<State> s_;
};

}  // namespace tvis::sim

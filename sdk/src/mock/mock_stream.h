// A simulated insole: one thread per device id that synthesises a sensor
// message every 20 ms and feeds its frame through the receive path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/messages.h"

namespace tvis::mock {

struct FootProfile {
  int32_t device_id;
  double pressure_phase;
  double shear_phase;
  uint32_t battery_pct;
  uint32_t voltage_mv;
};

// Right for ids containing "right" in any letter case, and for "1" and "3".
const FootProfile& profile_for(std::string_view device_id);

// The message of tick n (1 for the first frame).
protocol::InsoleResp sample(const FootProfile& profile, uint32_t n);

// Starts a stream unless one runs for the id; throws std::system_error when
// no thread can be started.
void start_stream(std::string_view device_id);

// Stops every stream: each thread ends at its next tick, even if its id is
// started again before then (the new start runs a new thread).
void stop_all_streams();

}  // namespace tvis::mock

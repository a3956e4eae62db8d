// A firmware update against the simulated insole, with its progress shown:
// a redrawn bar on a terminal, plain lines per stage otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace insole {

// Runs tvis_start_dfu for device_id with the image and tvis_start_mock_dfu as
// its peer; the BLE write callback only counts what would go on air. Blocks
// until the update reports its end (Ctrl-C aborts it, and the abort's report
// is still awaited). Returns the exit status: 0 completed, 1 failed or
// aborted by the insole, 130 aborted on Ctrl-C.
int run_mock_update(const std::string& device_id, std::span<const uint8_t> image);

}  // namespace insole

// A firmware update against a simulated insole, with its progress shown:
// a redrawn bar on a terminal, plain lines per stage otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace insole {

enum class Peer { Virtual, Mock };

// Runs tvis_start_dfu for device_id with the image against a peer: a virtual
// insole (in this process, fed through the BLE write callback, answering
// through tvis_did_receive_data), or the mock update (tvis_start_mock_dfu,
// whose fixed script ignores what is written). Blocks until the update
// reports its end (Ctrl-C aborts it, and the abort's report is still
// awaited). Returns the exit status: 0 completed, 1 failed or aborted by the
// insole, 130 aborted on Ctrl-C. image_name is how the notes speak of the
// image ("this file" for one the user gave).
int run_update(const std::string& device_id, std::span<const uint8_t> image, Peer peer,
               const std::string& image_name = "this file");

}  // namespace insole

// The insole's side of a firmware update, played inside the process on a
// fixed timetable for an image of 10,240 bytes.
#pragma once

#include <string>

namespace tvis::dfu {

// Starts the detached mock thread; throws std::system_error when no thread
// can be started.
void start_mock_update(std::string device_id);

}  // namespace tvis::dfu

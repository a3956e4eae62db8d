// The frames a mock insole sends, made on the caller's thread: the same
// messages and framing as the SDK's mock stream, tick by tick.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "mock/mock_stream.h"

namespace insole {

inline constexpr int kMockFramesPerSecond = 50;  // one tick every 20 ms

// Appends the frame of tick n (1 for the first) of an insole with this
// profile (tvis::mock::profile_for picks it from a device id).
void append_mock_frame(const tvis::mock::FootProfile& profile, uint32_t n, std::vector<uint8_t>& out);

}  // namespace insole

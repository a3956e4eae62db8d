// The receive path: bytes from the host, through the device's stream parser
// and the decoder, to the registered callbacks, all on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/messages.h"

namespace tvis::c {

// Feeds bytes received from one device and dispatches every complete frame.
// The id must already be checked (non-null, UTF-8).
void receive_data(std::string_view device_id, const uint8_t* data, size_t len);

// Drops the device's parser (and any partly received frame).
void forget_device(std::string_view device_id);

// Reports one decoded message to the callbacks, in the fixed order.
void dispatch(const char* device_id, const protocol::InsoleResp& msg);

}  // namespace tvis::c

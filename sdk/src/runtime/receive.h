// The receive path: bytes from the host, through the device's stream parser
// and the decoder, to the registered callbacks, all on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>


namespace tvis::c {

// Feeds bytes received from one device and dispatches every complete frame.
// The id must already be checked (UTF-8).
void receive_data(std::string_view device_id, const uint8_t* data, size_t len);

// The same for the host's arguments as they come: false, and nothing done,
// for a null id, null data with a length, or an id that is not UTF-8.
bool receive_from_host(const char* device_id, const uint8_t* data, size_t len);

// Empties the device's parser (and drops any partly received frame).
void forget_device(std::string_view device_id);

}  // namespace tvis::c

// How an insole shows itself over BLE: the company ids under which its
// advertisements carry manufacturer data, and its GATT service with the two
// characteristics (TX notifies the host, RX takes the host's writes).
// The values are owned by the public header, where C hosts read them; these
// names are the C++ and Python faces of the same macros, so they cannot drift.
#pragma once

#include <cstdint>

#include "trova_insole_sdk.h"

namespace tvis::protocol {

inline constexpr uint16_t COMPANY_ID_TROVA = TVIS_COMPANY_ID_TROVA;
inline constexpr uint16_t COMPANY_ID_LEGACY = TVIS_COMPANY_ID_LEGACY;
inline constexpr const char* INSOLE_SERVICE_UUID = TVIS_INSOLE_SERVICE_UUID;
inline constexpr const char* INSOLE_TX_UUID = TVIS_INSOLE_TX_UUID;
inline constexpr const char* INSOLE_RX_UUID = TVIS_INSOLE_RX_UUID;

}  // namespace tvis::protocol

// How an insole shows itself over BLE: the company ids under which its
// advertisements carry manufacturer data, and its GATT service with the two
// characteristics (TX notifies the host, RX takes the host's writes).
#pragma once

#include <cstdint>

namespace tvis::protocol {

inline constexpr uint16_t COMPANY_ID_TROVA = 0x5254;
inline constexpr uint16_t COMPANY_ID_LEGACY = 0x5202;
inline constexpr const char* INSOLE_SERVICE_UUID = "4de5a20c-0001-ae21-bf63-0242ac130002";
inline constexpr const char* INSOLE_TX_UUID = "4de5a20c-0002-ae21-bf63-0242ac130002";
inline constexpr const char* INSOLE_RX_UUID = "4de5a20c-0003-ae21-bf63-0242ac130002";

}  // namespace tvis::protocol

// The foot side of a manufacturer payload: any bytes, any length.
#include <cstdint>

#include "trova_insole_sdk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t side = tvis_parse_foot_side(size ? data : nullptr, size);
  if (size == 0 ? side != 0 : side != (data[0] == 3 ? 3 : 2)) __builtin_trap();
  return 0;
}

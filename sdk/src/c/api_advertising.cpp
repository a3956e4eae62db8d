// C exports: reading advertisements.
#include "runtime/foot_side.h"
#include "trova_insole_sdk.h"

using namespace tvis::c;

extern "C" TVIS_API uint8_t tvis_parse_foot_side(const uint8_t* data, size_t len) {
  if (data == nullptr) return 0;
  return foot_side_of_payload({data, len});
}

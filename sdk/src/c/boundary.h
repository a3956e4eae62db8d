// Helpers for the C exports: argument checks and the rule that no exception
// ever crosses into the host (out of memory becomes the documented failure).
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/utf8.h"

namespace tvis::c {

// The header's TVIS_OK, TVIS_ERR_NULL, TVIS_ERR_INVALID and TVIS_ERR_SHORT
// (checked in api_receive.cpp; this header stays free of the public one, which
// api_commands.cpp must include in its own way).
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kErrNull = -1;
inline constexpr int32_t kErrInvalid = -2;
inline constexpr int32_t kErrTooShort = -3;

struct DeviceIdArg {
  int32_t status = kOk;  // kOk, kErrNull or kErrInvalid (not UTF-8)
  std::string_view id;

  bool ok() const { return status == kOk; }
};

inline DeviceIdArg check_device_id(const char* device_id) {
  if (device_id == nullptr) return {kErrNull, {}};
  std::string_view id(device_id, std::strlen(device_id));
  if (!is_valid_utf8(id)) return {kErrInvalid, id};
  return {kOk, id};
}

// A thread ended by pthread_exit unwinds with abi::__forced_unwind, which
// must travel on; everything else stops here.
template <class R, class F>
R guarded(R on_failure, F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return on_failure;
  }
}

template <class F>
void guarded(F&& body) {
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

}  // namespace tvis::c

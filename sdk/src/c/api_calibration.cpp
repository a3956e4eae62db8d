// C exports: calibration and shear derivation.
#include "c/boundary.h"
#include "pressure/calibration.h"
#include "trova_insole_sdk.h"

using namespace tvis;
using namespace tvis::c;

namespace {

// Shared argument checks, in the documented order.
int32_t check_arrays(const void* in, size_t count, uint8_t foot, const void* out, size_t out_len, size_t out_min) {
  if (in == nullptr || out == nullptr) return kErrNull;
  if (count < pressure::PRESSURE_CHANNELS || out_len < out_min) return kErrTooShort;
  if (!pressure::is_valid_foot(foot)) return kErrInvalid;
  return kOk;
}

}  // namespace

extern "C" TVIS_API int32_t tvis_calibrate_pressure(const uint32_t* resistances, size_t count, uint8_t device_id,
                                                    double* out, size_t out_len) {
  const int32_t status = check_arrays(resistances, count, device_id, out, out_len, pressure::PRESSURE_CHANNELS);
  if (status != kOk) return status;
  for (size_t i = 0; i < pressure::PRESSURE_CHANNELS; ++i)
    out[i] = pressure::calibrate_channel(resistances[i], i, device_id);
  return kOk;
}

extern "C" TVIS_API int32_t tvis_derive_shear(const uint32_t* resistances, size_t count, uint8_t device_id,
                                              TvisShearForce* out, size_t out_len) {
  const int32_t status = check_arrays(resistances, count, device_id, out, out_len, pressure::SHEAR_CHANNELS);
  if (status != kOk) return status;
  return guarded(kErrNull, [&] {
    auto forces = pressure::derive_shear_forces({resistances, pressure::PRESSURE_CHANNELS}, device_id);
    if (!forces) return kErrInvalid;
    for (size_t k = 0; k < pressure::SHEAR_CHANNELS; ++k)
      out[k] = TvisShearForce{(*forces)[k].force_x, (*forces)[k].force_y, (*forces)[k].normal_force};
    return kOk;
  });
}

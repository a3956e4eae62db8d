// C exports: the locally built device-information record.
#include <cstdlib>
#include <cstring>
#include <string>

#include "c/boundary.h"
#include "trova_insole_sdk.h"

using namespace tvis::c;

namespace {

char* copy_text(std::string_view text) {
  auto* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) return nullptr;
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

}  // namespace

extern "C" TVIS_API void tvis_free_device_info(TvisDeviceInfo* info) {
  if (info == nullptr) return;
  for (char* text : {info->serial_number, info->model_name, info->fw_version, info->hw_version, info->git_commit,
                     info->mac})
    std::free(text);
  std::free(info);
}

extern "C" TVIS_API TvisDeviceInfo* tvis_get_device_info(const char* device_id) {
  return guarded(static_cast<TvisDeviceInfo*>(nullptr), [&]() -> TvisDeviceInfo* {
    DeviceIdArg id = check_device_id(device_id);
    if (id.status == kErrNull) return nullptr;
    auto* info = static_cast<TvisDeviceInfo*>(std::calloc(1, sizeof(TvisDeviceInfo)));
    if (info == nullptr) return nullptr;
    info->device_id = TVIS_DEVICE_LEFT;
    info->product_id = 0;
    info->serial_number = copy_text(id.ok() ? std::string(id.id) + "-SERIAL" : std::string("UNKNOWN-SERIAL"));
    info->model_name = copy_text("");
    info->fw_version = copy_text("");
    info->hw_version = copy_text("");
    info->git_commit = copy_text("");
    info->mac = copy_text("");
    if (!info->serial_number || !info->model_name || !info->fw_version || !info->hw_version || !info->git_commit ||
        !info->mac) {
      tvis_free_device_info(info);
      return nullptr;
    }
    return info;
  });
}

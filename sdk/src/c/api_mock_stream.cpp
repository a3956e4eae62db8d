// C exports: the simulated sensor stream.
#include "c/boundary.h"
#include "mock/mock_stream.h"
#include "trova_insole_sdk.h"

using namespace tvis;
using namespace tvis::c;

extern "C" TVIS_API void tvis_start_mock_stream(const char* device_id) {
  DeviceIdArg id = check_device_id(device_id);
  if (!id.ok()) return;
  guarded([&] { mock::start_stream(id.id); });
}

extern "C" TVIS_API void tvis_stop_mock_stream(void) {
  guarded([] { mock::stop_all_streams(); });
}

// C exports: logging set-up, where the records go, and the version the
// library announces.
#include "log/log.h"
#include "trova_insole_sdk.h"
#include "version.h"

static_assert(TVIS_LOG_ERROR == int(tvis::log::Level::Error) && TVIS_LOG_WARN == int(tvis::log::Level::Warn) &&
                  TVIS_LOG_INFO == int(tvis::log::Level::Info) && TVIS_LOG_DEBUG == int(tvis::log::Level::Debug) &&
                  TVIS_LOG_TRACE == int(tvis::log::Level::Trace),
              "the header's log levels are the facility's");

extern "C" TVIS_API void tvis_initialize_logging(int32_t level) {
  try {
    tvis::log::initialize(level);
  } catch (...) {
    // Out of memory while formatting the announcement: logging still works.
  }
}

extern "C" TVIS_API void tvis_set_log_callback(TvisLogCallback callback, void* user_data) {
  try {
    tvis::log::set_host_sink(callback, user_data);
  } catch (...) {
    // Only a failing mutex could throw; the previous sink stays.
  }
}

extern "C" TVIS_API const char* tvis_version(void) { return tvis::kVersion; }

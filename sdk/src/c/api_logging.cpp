// C export: logging set-up.
#include "log/log.h"
#include "trova_insole_sdk.h"

extern "C" TVIS_API void tvis_initialize_logging(int32_t level) {
  try {
    tvis::log::initialize(level);
  } catch (...) {
    // Out of memory while formatting the announcement: logging still works.
  }
}

/*
** trova_insole_sdk.h: the C interface of the insole host SDK.
**
** The host application owns the radio. It hands every BLE notification it
** receives from an insole to the SDK and writes back the frames the SDK gives
** it. Every exported function begins with tvis_, has C linkage and is safe to
** call from any thread.
*/
#ifndef TROVA_INSOLE_SDK_H
#define TROVA_INSOLE_SDK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TVIS_API __attribute__((visibility("default")))
#else
#define TVIS_API
#endif

/*
** Logging.
**
** Installs the console logger on first use and sets the global level filter:
** 1 Error, 2 Warn, 3 Info, 4 Debug, 5 Trace; any other value selects Info.
** Until the first call nothing is printed. Each line goes to standard output
** as "[Rust][LEVEL][target] message". May be called again to change the level.
*/
TVIS_API void tvis_initialize_logging(int32_t level);

#ifdef __cplusplus
}
#endif

#endif /* TROVA_INSOLE_SDK_H */

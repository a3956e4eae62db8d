/*
** Gait of a whole recording, for hosts that keep the samples themselves.
**
** The same detector and stride closing as the live receive path: each foot's
** loads go through it one sample at a time, so a recording analysed here gives
** the events that the live path gave while it was received.
*/
#ifndef TROVA_INSOLE_GAIT_H
#define TROVA_INSOLE_GAIT_H

#include <stddef.h>
#include <stdint.h>

#include "trova_insole_sdk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of tvis_gait_analyze, besides TVIS_OK, TVIS_ERR_NULL and
** TVIS_ERR_SHORT. */
#define TVIS_GAIT_ERR_EMPTY (-10)      /* no samples */
#define TVIS_GAIT_ERR_NOT_FINITE (-11) /* a time or load is NaN or infinite */
#define TVIS_GAIT_ERR_TIME (-12)       /* time repeats or goes backwards */
#define TVIS_GAIT_ERR_RATE (-13)       /* no times and a rate that is not above zero and finite */

/* One stride: from an initial contact of one foot to its next. Times in
** seconds on the caller's time base; shares in % of the stride. Its flags are
** the TVIS_STRIDE_* bits of the live stride (trova_insole_sdk.h); here the
** last of a bout and outliers (stride time or stance share outside its bout's
** median +- 3 scaled MAD) are marked too, and a stride with any flag is left
** out of summaries, though still returned. No gaps are given here, so
** TVIS_STRIDE_ACROSS_GAP is never set. step_s and
** double_support_pct are -1 where the other foot's events do not cover the
** stride. peak_load (the input's unit) and load_integral (unit x s) are over
** the stance. */
typedef struct TvisAnalyzedStride {
  int32_t foot; /* 0 left, 1 right */
  uint32_t bout;
  uint32_t flags; /* TVIS_STRIDE_* bits */
  double contact_s, foot_off_s, next_contact_s;
  double stride_s, stance_s, swing_s;
  double stance_pct, swing_pct;
  double step_s, double_support_pct;
  double peak_load, load_integral;
} TvisAnalyzedStride;

/*
** tvis_gait_analyze: the strides of both feet in a recording.
**
** time_s holds `samples` times in seconds, strictly increasing, shared by both
** feet; or pass NULL and a sample rate in Hz (sample i is at i / rate_hz; the
** rate is ignored when times are given). left_load and right_load hold one
** load per sample each, in any unit (newtons, device units): the levels adapt
** to the signal.
**
** The strides go to `strides`, at most `capacity` of them, left then right,
** each foot's in time order; *stride_count is set to how many there are. When
** they do not fit, nothing is written, *stride_count says how many would, and
** the result is TVIS_ERR_SHORT: call again with room for them (strides may be
** NULL with capacity 0 to ask).
**
** Returns TVIS_OK, TVIS_ERR_NULL (a NULL load array or stride_count, or NULL
** strides with a capacity), TVIS_ERR_SHORT, or a TVIS_GAIT_ERR_* code for
** input it refuses whole (no strides are written). Thread-safe: it keeps no
** state between calls.
*/
TVIS_API int32_t tvis_gait_analyze(const double* time_s, double rate_hz, size_t samples, const double* left_load,
                                   const double* right_load, TvisAnalyzedStride* strides, size_t capacity,
                                   size_t* stride_count);

#ifdef __cplusplus
}
#endif

#endif /* TROVA_INSOLE_GAIT_H */

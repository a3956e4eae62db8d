// The Python face of the gait room: per-device live gait (enable_gait, with
// events through register_gait_event_callback) and GaitDetector, one foot's
// tracker fed by the host sample by sample or in arrays.
#pragma once

#include "python/py.h"
#include "trova_insole_sdk.h"

namespace tvis::py {

PyObject* enable_gait(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* make_gait_detector_type(PyObject* module);

// The event as the callbacks and GaitDetector give it: type ("contact" or
// "foot_off"), time_s, load, load_unit, foot, seq_num, sample_index,
// decided_index and stride (a dict of its times and flags, or None). Null
// with an exception set when memory runs out.
PyObject* gait_event_dict(const TvisGaitEvent& event);

}  // namespace tvis::py

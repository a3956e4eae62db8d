// The three Python callback slots (BLE write, device event, DFU progress) and
// the adapters installed in the matching C slots. An adapter takes the
// interpreter lock itself, so callbacks may arrive from any SDK thread.
#pragma once

#include "python/py.h"

namespace tvis::py {

PyObject* register_ble_write_callback(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* register_device_event_callback(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* register_dfu_progress_callback(PyObject* module, PyObject* args, PyObject* kwargs);
// The live gait events of the receive path: cb(device_id, event_dict).
PyObject* register_gait_event_callback(PyObject* module, PyObject* args, PyObject* kwargs);

// Called when the interpreter begins to finalize: empties the C slots that
// still hold the adapters, and makes any adapter still running on another
// thread return without touching Python.
void detach_adapters();

}  // namespace tvis::py

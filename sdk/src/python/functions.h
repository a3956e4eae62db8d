// Module functions other than the builders and callback registrations.
#pragma once

#include "python/py.h"

namespace tvis::py {

PyObject* calibrate_pressure(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* derive_shear(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* start_dfu(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* start_mock_dfu(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* abort_dfu(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* feed_received_data(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_foot_side(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace tvis::py

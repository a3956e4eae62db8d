// The command builders of the Python face.
#pragma once

#include "python/py.h"

namespace tvis::py {

PyObject* build_device_info_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_battery_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_runtime_info_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_sensor_config_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_device_status_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_enable_sensor_stream_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_sensor_stream_config_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_set_sensor_config_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_start_sensor_stream_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_stop_sensor_stream_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_get_factory_config_request(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* build_set_factory_config_request(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace tvis::py

// The extension module trova_insole_sdk: constants, the StreamParser class,
// the command builders, calibration, firmware update, the receive path and
// the three Python callbacks. Multi-phase initialisation; stable ABI.
#include "pressure/calibration.h"
#include "protocol/ble_identifiers.h"
#include "protocol/commands.h"
#include "python/builders.h"
#include "python/callbacks.h"
#include "python/functions.h"
#include "python/gait_detector.h"
#include "python/stream_parser.h"
#include "version.h"

namespace tvis::py {

namespace {

template <class Fn>
constexpr PyCFunction with_keywords(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"build_device_info_request", with_keywords(build_device_info_request), kArgs,
     "build_device_info_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_battery_request", with_keywords(build_battery_request), kArgs,
     "build_battery_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_runtime_info_request", with_keywords(build_runtime_info_request), kArgs,
     "build_runtime_info_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_sensor_config_request", with_keywords(build_sensor_config_request), kArgs,
     "build_sensor_config_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_device_status_request", with_keywords(build_device_status_request), kArgs,
     "build_device_status_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_enable_sensor_stream_request", with_keywords(build_enable_sensor_stream_request), kArgs,
     "build_enable_sensor_stream_request(msg_id, sample_rate_hz, dest_id=2)\n--\n\n"},
    {"build_sensor_stream_config_request", with_keywords(build_sensor_stream_config_request), kArgs,
     "build_sensor_stream_config_request(msg_id, dest_id=..., sample_rate_hz=..., pressure_mode=\"raw\", "
     "shear_mode=\"calibrated\", imu_mode=\"calibrated\", pressure_enabled=True, shear_enabled=False, "
     "acc_enabled=True, gyro_enabled=True, start_stream=True)\n--\n\n"},
    {"build_set_sensor_config_request", with_keywords(build_set_sensor_config_request), kArgs,
     "build_set_sensor_config_request(msg_id, sample_rate_hz, dest_id=2)\n--\n\n"},
    {"build_start_sensor_stream_request", with_keywords(build_start_sensor_stream_request), kArgs,
     "build_start_sensor_stream_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_stop_sensor_stream_request", with_keywords(build_stop_sensor_stream_request), kArgs,
     "build_stop_sensor_stream_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_get_factory_config_request", with_keywords(build_get_factory_config_request), kArgs,
     "build_get_factory_config_request(msg_id, dest_id=2)\n--\n\n"},
    {"build_set_factory_config_request", with_keywords(build_set_factory_config_request), kArgs,
     "build_set_factory_config_request(msg_id, serial_number, device_id, model_name, mac_address, factory_key, "
     "dest_id=2)\n--\n\n"},
    {"calibrate_pressure", with_keywords(calibrate_pressure), kArgs,
     "calibrate_pressure(resistances, device_id)\n--\n\n"
     "Convert resistance values in ohms to calibrated normal load values in newtons."},
    {"derive_shear", with_keywords(derive_shear), kArgs,
     "derive_shear(resistances, device_id)\n--\n\n"
     "Derive (force_x, force_y, normal_force) in newtons from resistance values in ohms."},
    {"register_ble_write_callback", with_keywords(register_ble_write_callback), kArgs,
     "register_ble_write_callback(cb)\n--\n\n"},
    {"register_device_event_callback", with_keywords(register_device_event_callback), kArgs,
     "register_device_event_callback(cb)\n--\n\n"},
    {"register_dfu_progress_callback", with_keywords(register_dfu_progress_callback), kArgs,
     "register_dfu_progress_callback(cb)\n--\n\n"},
    {"start_dfu", with_keywords(start_dfu), kArgs, "start_dfu(device_id, firmware)\n--\n\n"},
    {"start_mock_dfu", with_keywords(start_mock_dfu), kArgs, "start_mock_dfu(device_id)\n--\n\n"},
    {"abort_dfu", with_keywords(abort_dfu), kArgs, "abort_dfu(device_id)\n--\n\n"},
    {"register_gait_event_callback", with_keywords(register_gait_event_callback), kArgs,
     "register_gait_event_callback(cb)\n--\n\n"
     "cb(device_id, event) for each gait event of the receive path (feed_received_data, StreamParser with "
     "device_id), for the ids enable_gait switched on; None removes it."},
    {"enable_gait", with_keywords(enable_gait), kArgs,
     "enable_gait(device_id, enable=True)\n--\n\n"
     "Start or stop live gait events for one insole."},
    {"feed_received_data", with_keywords(feed_received_data), kArgs, "feed_received_data(device_id, data)\n--\n\n"},
    {"parse_foot_side", with_keywords(parse_foot_side), kArgs, "parse_foot_side(manufacturer_data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  detach_adapters();
  Py_RETURN_NONE;
}

PyMethodDef kExitHook = {"_detach_sdk_callbacks", on_interpreter_exit, METH_NOARGS, nullptr};

// At interpreter exit, SDK threads (updates, mock streams) may still run:
// their callbacks must stop reaching Python before it goes away.
int register_exit_hook(PyObject* module) {
  Ref atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref hook(PyCFunction_NewEx(&kExitHook, nullptr, module));
  if (!hook) return -1;
  Ref result(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return result ? 0 : -1;
}

int add(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc;
}

int exec_module(PyObject* module) {
  if (add(module, "__version__", PyUnicode_FromString(tvis::kVersion)) < 0 ||
      add(module, "DEVICE_LEFT", PyLong_FromLong(protocol::DEVICE_LEFT)) < 0 ||
      add(module, "DEVICE_RIGHT", PyLong_FromLong(protocol::DEVICE_RIGHT)) < 0 ||
      add(module, "PRESSURE_CHANNELS", PyLong_FromSize_t(pressure::PRESSURE_CHANNELS)) < 0 ||
      add(module, "SHEAR_CHANNELS", PyLong_FromSize_t(pressure::SHEAR_CHANNELS)) < 0 ||
      add(module, "DEFAULT_SAMPLE_RATE_HZ", PyLong_FromUnsignedLong(protocol::DEFAULT_SAMPLE_RATE_HZ)) < 0 ||
      add(module, "COMPANY_ID_TROVA", PyLong_FromLong(protocol::COMPANY_ID_TROVA)) < 0 ||
      add(module, "COMPANY_ID_LEGACY", PyLong_FromLong(protocol::COMPANY_ID_LEGACY)) < 0 ||
      add(module, "INSOLE_MANUFACTURER_IDS", Py_BuildValue("(ii)", protocol::COMPANY_ID_TROVA, protocol::COMPANY_ID_LEGACY)) < 0 ||
      add(module, "INSOLE_SERVICE_UUID", PyUnicode_FromString(protocol::INSOLE_SERVICE_UUID)) < 0 ||
      add(module, "INSOLE_TX_UUID", PyUnicode_FromString(protocol::INSOLE_TX_UUID)) < 0 ||
      add(module, "INSOLE_RX_UUID", PyUnicode_FromString(protocol::INSOLE_RX_UUID)) < 0 ||
      add(module, "StreamParser", make_stream_parser_type(module)) < 0 ||
      add(module, "GaitDetector", make_gait_detector_type(module)) < 0)
    return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  return register_exit_hook(module);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "trova_insole_sdk",
    "Host-side SDK for a pair of BLE sensor insoles: command frames, stream parsing, calibration, firmware "
    "update and simulation.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tvis::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_trova_insole_sdk(void) {
  return PyModuleDef_Init(&tvis::py::kModule);
}

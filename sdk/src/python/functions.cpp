#include "python/functions.h"

#include <map>
#include <string>
#include <vector>

#include "runtime/foot_side.h"
#include "runtime/receive.h"
#include "dfu/dfu_worker.h"
#include "dfu/mock_dfu.h"
#include "pressure/calibration.h"
#include "protocol/ble_identifiers.h"
#include "python/args.h"
#include "util/fixed_texts.h"

namespace tvis::py {

namespace {

bool parse_resistances(PyObject* args, PyObject* kwargs, std::vector<uint32_t>& resistances, uint8_t& foot) {
  static const char* keywords[] = {"resistances", "device_id", nullptr};
  PyObject *res_obj, *foot_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(keywords), &res_obj, &foot_obj))
    return false;
  return to_u32_vector(res_obj, "resistances", resistances) && to_u8(foot_obj, "device_id", foot);
}

bool parse_device_id(PyObject* args, PyObject* kwargs, std::string& id) {
  static const char* keywords[] = {"device_id", nullptr};
  PyObject* id_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(keywords), &id_obj)) return false;
  return to_utf8(id_obj, "device_id", id) && check_no_nul(id);
}

// Starting a thread can fail only when the system refuses one.
template <class Start>
PyObject* start_thread(Start start) {
  try {
    start();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* calibrate_pressure(PyObject*, PyObject* args, PyObject* kwargs) {
  std::vector<uint32_t> resistances;
  uint8_t foot;
  if (!parse_resistances(args, kwargs, resistances, foot)) return nullptr;
  if (!pressure::is_valid_foot(foot)) {
    PyErr_SetString(PyExc_ValueError, "device_id must be DEVICE_LEFT or DEVICE_RIGHT");
    return nullptr;
  }
  const std::vector<double> newtons = pressure::calibrate_all(resistances, foot);
  Ref list(PyList_New(static_cast<Py_ssize_t>(newtons.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < newtons.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(newtons[i]);
    if (!value || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value) < 0) return nullptr;
  }
  return list.release();
}

PyObject* derive_shear(PyObject*, PyObject* args, PyObject* kwargs) {
  std::vector<uint32_t> resistances;
  uint8_t foot;
  if (!parse_resistances(args, kwargs, resistances, foot)) return nullptr;
  auto forces = pressure::derive_shear_forces(resistances, foot);
  if (!forces) {
    PyErr_Format(PyExc_ValueError, "expected %d resistance values and a valid device_id",
                 static_cast<int>(pressure::PRESSURE_CHANNELS));
    return nullptr;
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(forces->size())));
  if (!list) return nullptr;
  for (size_t k = 0; k < forces->size(); ++k) {
    const auto& f = (*forces)[k];
    PyObject* triple = Py_BuildValue("(ddd)", f.force_x, f.force_y, f.normal_force);
    if (!triple || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), triple) < 0) return nullptr;
  }
  return list.release();
}

PyObject* start_dfu(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"device_id", "firmware", nullptr};
  PyObject *id_obj, *fw_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(keywords), &id_obj, &fw_obj))
    return nullptr;
  std::string id;
  std::vector<uint8_t> firmware;
  if (!to_utf8(id_obj, "device_id", id) || !to_byte_vector(fw_obj, "firmware", firmware) || !check_no_nul(id))
    return nullptr;
  // An empty image would be refused below without a word; say so instead.
  if (firmware.empty()) {
    PyErr_SetString(PyExc_ValueError, "firmware must not be empty");
    return nullptr;
  }
  return start_thread([&] { dfu::start_update(std::move(id), std::move(firmware)); });
}

PyObject* start_mock_dfu(PyObject*, PyObject* args, PyObject* kwargs) {
  std::string id;
  if (!parse_device_id(args, kwargs, id)) return nullptr;
  return start_thread([&] { dfu::start_mock_update(std::move(id)); });
}

PyObject* abort_dfu(PyObject*, PyObject* args, PyObject* kwargs) {
  std::string id;
  if (!parse_device_id(args, kwargs, id)) return nullptr;
  dfu::abort_update(id);
  Py_RETURN_NONE;
}

PyObject* feed_received_data(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"device_id", "data", nullptr};
  PyObject *id_obj, *data_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(keywords), &id_obj, &data_obj))
    return nullptr;
  std::string id;
  std::vector<uint8_t> data;
  if (!to_utf8(id_obj, "device_id", id) || !to_byte_vector(data_obj, "data", data) || !check_no_nul(id))
    return nullptr;
  // The interpreter lock stays held: callbacks raised here run on this thread.
  try {
    c::receive_data(id, data.data(), data.size());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

PyObject* parse_foot_side(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"manufacturer_data", nullptr};
  PyObject* dict;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(keywords), &dict)) return nullptr;
  if (!PyDict_Check(dict)) {
    argument_type_error("manufacturer_data", cannot_convert(dict, fixed_texts::kDictTarget));
    return nullptr;
  }
  // Every entry is converted before any lookup: one bad entry fails the call.
  // A snapshot of the items, since converting a value may run Python code.
  Ref items(PyDict_Items(dict));
  if (!items) return nullptr;
  std::map<uint16_t, std::vector<uint8_t>> entries;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed (key, value) tuple
    uint16_t company;
    std::vector<uint8_t> payload;
    if (!to_u16(PyTuple_GetItem(item, 0), "manufacturer_data", company) ||
        !to_byte_vector(PyTuple_GetItem(item, 1), "manufacturer_data", payload))
      return nullptr;
    entries[company] = std::move(payload);
  }
  for (uint16_t company : {protocol::COMPANY_ID_TROVA, protocol::COMPANY_ID_LEGACY}) {
    auto it = entries.find(company);
    if (it == entries.end()) continue;
    if (auto side = c::strict_foot_side(it->second)) return PyLong_FromLong(*side);
  }
  Py_RETURN_NONE;
}

}  // namespace tvis::py

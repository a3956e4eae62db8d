#include "python/callbacks.h"

#include <cxxabi.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "runtime/callbacks.h"
#include "runtime/live_gait.h"
#include "log/log.h"
#include "python/gait_detector.h"

namespace tvis::py {

namespace {

std::atomic<bool>& interpreter_gone() {
  static std::atomic<bool> gone{false};
  return gone;
}

// One Python slot: an owned reference behind its own mutex. Never destroyed,
// so an SDK thread still running at exit never sees it torn down.
struct PySlot {
  std::mutex mutex;
  PyObject* object = nullptr;  // owned

  // A new reference to the object, or null. Needs the interpreter lock.
  PyObject* acquire() {
    std::lock_guard lock(mutex);
    Py_XINCREF(object);
    return object;
  }

  // Stores a new reference and returns the previous one for the caller to
  // release once the lock is dropped.
  PyObject* replace(PyObject* cb) {
    Py_XINCREF(cb);
    std::lock_guard lock(mutex);
    PyObject* old = object;
    object = cb;
    return old;
  }
};

PySlot& ble_write_slot() {
  static PySlot* slot = new PySlot;
  return *slot;
}
PySlot& device_event_slot() {
  static PySlot* slot = new PySlot;
  return *slot;
}
PySlot& gait_event_slot() {
  static PySlot* slot = new PySlot;
  return *slot;
}
PySlot& dfu_progress_slot() {
  static PySlot* slot = new PySlot;
  return *slot;
}

// Device ids and messages arrive as C text; bad UTF-8 becomes U+FFFD.
PyObject* text(const char* s) { return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::strlen(s)), "replace"); }

// When the interpreter finalizes, CPython ends every other thread that waits
// for the interpreter lock with pthread_exit, and the unwinding runs through
// the adapter path below. That unwinding must not touch Python: the adapter
// path holds plain references and gives them (and the lock) back only on its
// normal way out; on the thread's forced exit they are left alone.

std::string exception_text() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string out;
  auto append_str = [&out](PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    Py_ssize_t len = 0;
    const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s, &len) : nullptr;
    if (utf8) {
      out.append(utf8, static_cast<size_t>(len));
    } else {
      out += "<exception str() failed>";
    }
    Py_XDECREF(s);
    PyErr_Clear();
  };
  if (type) {
    PyObject* name = PyObject_GetAttrString(type, "__qualname__");
    if (name) append_str(name);
    Py_XDECREF(name);
    PyErr_Clear();
  }
  out += ": ";
  if (value) append_str(value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return out;
}

// Calls the slot's object with (device_id, payload) and logs what it raises.
// Runs with the interpreter lock held.
template <class MakePayload>
void call_slot(PySlot& slot, const char* device_id, const char* error_prefix, MakePayload&& make_payload) {
  PyObject* cb = slot.acquire();
  if (!cb) return;
  PyObject* id = text(device_id);
  PyObject* payload = id ? make_payload() : nullptr;
  PyObject* args = payload ? PyTuple_Pack(2, id, payload) : nullptr;
  PyObject* result = args ? PyObject_Call(cb, args, nullptr) : nullptr;
  if (PyErr_Occurred()) {
    const std::string message = exception_text();
    TVIS_LOG(log::Level::Error, log::kTargetPython, error_prefix, message);
  }
  Py_XDECREF(result);
  Py_XDECREF(args);
  Py_XDECREF(payload);
  Py_XDECREF(id);
  Py_DECREF(cb);
}

// Runs body with the interpreter lock, unless the interpreter is finalizing
// or gone: then the adapter does nothing.
template <class Body>
void with_interpreter(Body&& body) {
  if (interpreter_gone().load(std::memory_order_acquire) || !Py_IsInitialized()) return;
  const PyGILState_STATE state = PyGILState_Ensure();
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended: the lock is not ours to release
  } catch (...) {
    PyGILState_Release(state);
    throw;
  }
  PyGILState_Release(state);
}

void ble_write_adapter(const char* device_id, const uint8_t* data, size_t len) {
  if (device_id == nullptr || data == nullptr || len == 0) return;
  with_interpreter([&] {
    call_slot(ble_write_slot(), device_id, "Error calling Python BLE write callback: ", [&] {
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(len));
    });
  });
}

// Sets a dict item; a failed insert leaves the key out and the call goes on.
void put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr || PyDict_SetItemString(dict, key, value) < 0) PyErr_Clear();
  Py_XDECREF(value);
}

void device_event_adapter(const char* device_id, const TvisDeviceEvent* event) {
  if (device_id == nullptr || event == nullptr) return;
  with_interpreter([&] {
    call_slot(device_event_slot(), device_id, "Error calling Python device event callback: ", [&] {
      PyObject* dict = PyDict_New();
      if (dict) {
        put(dict, "timestamp_ms", PyLong_FromUnsignedLong(event->timestamp_ms));
        put(dict, "event_type", PyLong_FromLong(event->type));
      }
      return dict;
    });
  });
}

void dfu_progress_adapter(const char* device_id, const TvisDfuProgress* progress) {
  if (device_id == nullptr || progress == nullptr) return;
  with_interpreter([&] {
    call_slot(dfu_progress_slot(), device_id, "Error calling Python DFU progress callback: ", [&] {
      PyObject* dict = PyDict_New();
      if (dict) {
        put(dict, "state", PyLong_FromLong(progress->state));
        put(dict, "percentage", PyFloat_FromDouble(progress->percentage));
        put(dict, "speed_kbps", PyFloat_FromDouble(progress->speed_kbps));
        put(dict, "eta_secs", PyFloat_FromDouble(progress->eta_secs));
        put(dict, "message", progress->message ? text(progress->message) : PyUnicode_FromString(""));
      }
      return dict;
    });
  });
}

void gait_event_adapter(const TvisGaitEvent* event, void*) {
  if (event == nullptr || event->device_id == nullptr) return;
  with_interpreter([&] {
    call_slot(gait_event_slot(), event->device_id, "Error calling Python gait event callback: ",
              [&] { return gait_event_dict(*event); });
  });
}

// Fills the Python slot, then (after its lock is released) sets the C slot:
// the two locks are never held together.
template <class Fn>
PyObject* register_callback(PyObject* args, PyObject* kwargs, PySlot& slot, std::atomic<Fn>& c_slot, Fn adapter) {
  static const char* keywords[] = {"cb", nullptr};
  PyObject* cb = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(keywords), &cb)) return nullptr;
  const bool clear = cb == Py_None;
  Ref previous(slot.replace(clear ? nullptr : cb));
  c::store(c_slot, clear ? nullptr : adapter);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* register_ble_write_callback(PyObject*, PyObject* args, PyObject* kwargs) {
  return register_callback(args, kwargs, ble_write_slot(), c::callbacks().ble_write,
                           TvisBleWriteCallback{&ble_write_adapter});
}

PyObject* register_device_event_callback(PyObject*, PyObject* args, PyObject* kwargs) {
  return register_callback(args, kwargs, device_event_slot(), c::callbacks().device_event,
                           TvisDeviceEventCallback{&device_event_adapter});
}

PyObject* register_dfu_progress_callback(PyObject*, PyObject* args, PyObject* kwargs) {
  return register_callback(args, kwargs, dfu_progress_slot(), c::callbacks().dfu_progress,
                           TvisDfuProgressCallback{&dfu_progress_adapter});
}

PyObject* register_gait_event_callback(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"cb", nullptr};
  PyObject* cb = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(keywords), &cb)) return nullptr;
  if (cb != Py_None && !PyCallable_Check(cb)) {
    PyErr_SetString(PyExc_TypeError, "argument 'cb': a callable or None is needed");
    return nullptr;
  }
  const bool clear = cb == Py_None;
  Ref previous(gait_event_slot().replace(clear ? nullptr : cb));
  if (clear)
    c::clear_gait_event_callback_if(&gait_event_adapter);
  else
    c::set_gait_event_callback(&gait_event_adapter, nullptr);
  Py_RETURN_NONE;
}

void detach_adapters() {
  interpreter_gone().store(true, std::memory_order_release);
  auto clear_if_ours = [](auto& c_slot, auto adapter) {
    auto expected = adapter;
    c_slot.compare_exchange_strong(expected, nullptr);
  };
  c::CallbackSlots& cb = c::callbacks();
  clear_if_ours(cb.ble_write, TvisBleWriteCallback{&ble_write_adapter});
  clear_if_ours(cb.device_event, TvisDeviceEventCallback{&device_event_adapter});
  clear_if_ours(cb.dfu_progress, TvisDfuProgressCallback{&dfu_progress_adapter});
  c::clear_gait_event_callback_if(&gait_event_adapter);
}

}  // namespace tvis::py

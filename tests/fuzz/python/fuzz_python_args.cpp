// The Python face's argument conversions under fuzzing: an embedded
// interpreter with the module linked in, and Python objects built from the
// input (bytes, bytearray, str, lists and tuples of ints in and out of range,
// floats, None, dicts) handed to every function that takes bytes or numbers.
// Any exception is fine; a crash or a sanitizer report is not.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <iterator>

extern "C" PyObject* PyInit_trova_insole_sdk(void);

// CPython keeps objects alive until exit by design: leak reports would be noise.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  size_t take(size_t want) { return want < n ? want : n; }
};

PyObject* make_object(Input& in, int depth = 0) {
  const uint8_t kind = in.byte() % 11;
  const size_t len = in.take(in.byte() % 64);
  const char* bytes = reinterpret_cast<const char*>(in.p);
  PyObject* obj = nullptr;
  switch (kind) {
    case 0: obj = PyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(len)); break;
    case 1: obj = PyByteArray_FromStringAndSize(bytes, static_cast<Py_ssize_t>(len)); break;
    case 2: obj = PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(len), "replace"); break;
    case 3:
    case 4: {
      obj = PyList_New(0);
      for (size_t i = 0; i < len; ++i) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        PyObject* item = b < 200 ? PyLong_FromLong(b) : b < 220 ? PyLong_FromLong(-static_cast<long>(b))
                         : b < 240 ? PyLong_FromLongLong(static_cast<long long>(b) << 30)
                         : b < 250 ? PyFloat_FromDouble(b) : PyUnicode_FromString("x");
        PyList_Append(obj, item);
        Py_DECREF(item);
      }
      if (kind == 4) {
        PyObject* tuple = PyList_AsTuple(obj);
        Py_DECREF(obj);
        obj = tuple;
      }
      break;
    }
    case 5: obj = PyLong_FromLongLong(static_cast<long long>(len) - 32); break;
    case 6: obj = PyFloat_FromDouble(static_cast<double>(len) / 3.0); break;
    case 7: obj = Py_NewRef(Py_None); break;
    case 8: obj = PyMemoryView_FromMemory(const_cast<char*>(bytes), static_cast<Py_ssize_t>(len), PyBUF_READ); break;
    case 9: obj = Py_NewRef(len % 2 ? Py_True : Py_False); break;
    default: {
      obj = PyDict_New();
      if (depth < 2) {
        for (size_t i = 0; i < (len % 4); ++i) {
          PyObject* key = PyLong_FromLongLong(static_cast<long long>(in.byte()) * 300 - 2000);
          PyObject* value = make_object(in, depth + 1);
          if (key && value) PyDict_SetItem(obj, key, value);
          Py_XDECREF(key);
          Py_XDECREF(value);
        }
      }
      return obj;
    }
  }
  in.p += len;
  in.n -= len;
  return obj;
}

// Calls name on target with args (consumed); any exception is dropped.
void call(PyObject* target, const char* name, PyObject* args) {
  PyObject* fn = PyObject_GetAttrString(target, name);
  if (fn && args) Py_XDECREF(PyObject_CallObject(fn, args));
  Py_XDECREF(fn);
  Py_XDECREF(args);
  PyErr_Clear();
}

PyObject* g_module = nullptr;
PyObject* g_parser = nullptr;
PyObject* g_device_parser = nullptr;  // hands events and update answers to the SDK

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PyImport_AppendInittab("trova_insole_sdk", PyInit_trova_insole_sdk);
  Py_InitializeEx(0);
  g_module = PyImport_ImportModule("trova_insole_sdk");
  if (!g_module) {
    PyErr_Print();
    __builtin_trap();
  }
  PyObject* cls = PyObject_GetAttrString(g_module, "StreamParser");
  g_parser = PyObject_CallNoArgs(cls);
  PyObject* no_args = PyTuple_New(0);
  PyObject* for_device = Py_BuildValue("{ss}", "device_id", "fuzz");
  g_device_parser = PyObject_Call(cls, no_args, for_device);
  Py_DECREF(for_device);
  Py_DECREF(no_args);
  Py_DECREF(cls);
  if (!g_parser || !g_device_parser) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first call feeds a device id and one object; the others take the
  // objects as they come.
  static const struct { PyObject** target; const char* name; const char* format; } kCalls[] = {
      {&g_module, "feed_received_data", "(sO)"}, {&g_module, "feed_received_data", "(OO)"},
      {&g_module, "parse_foot_side", "(O)"}, {&g_parser, "push", "(O)"},
      {&g_module, "calibrate_pressure", "(OO)"}, {&g_module, "derive_shear", "(OO)"},
      {&g_module, "build_set_sensor_config_request", "(OO)"}, {&g_module, "abort_dfu", "(O)"},
      {&g_device_parser, "push", "(O)"}};
  Input in{data, size};
  while (in.n > 0) {
    const auto& c = kCalls[in.byte() % std::size(kCalls)];
    PyObject* a = make_object(in);
    PyObject* b = make_object(in);
    if (a && b)
      call(*c.target, c.name, c.format[1] == 's' ? Py_BuildValue(c.format, "fuzz", a) : Py_BuildValue(c.format, a, b));
    Py_XDECREF(a);
    Py_XDECREF(b);
    PyErr_Clear();
  }
  return 0;
}

#include "python/args.h"

#include <cstring>
#include <limits>

#include "util/fixed_texts.h"

namespace tvis::py {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
  if (!text) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<size_t>(len));
}

// Re-raises a pending TypeError with the argument's name in front; other
// errors (OverflowError) pass unchanged.
bool name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref t(type), v(value), tb(traceback);
  std::string message;
  if (v) {
    Ref text(PyObject_Str(v.get()));
    Py_ssize_t len = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
    if (utf8) message.assign(utf8, static_cast<size_t>(len));
    PyErr_Clear();
  }
  return argument_type_error(name, message);
}

// An integer by the index protocol, as a C long; false with an error set.
bool to_long(PyObject* obj, const char* name, long& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) return name_type_error(name);
  out = PyLong_AsLong(index.get());
  if (out == -1 && PyErr_Occurred()) return false;
  return true;
}

template <class Int>
bool to_int(PyObject* obj, const char* name, Int& out) {
  long v;
  if (!to_long(obj, name, v)) return false;
  static_assert(sizeof(Int) < sizeof(long), "a C long holds every value of Int");
  if (v < static_cast<long>(std::numeric_limits<Int>::min()) || v > static_cast<long>(std::numeric_limits<Int>::max())) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  out = static_cast<Int>(v);
  return true;
}

template <class Int>
bool to_int_vector(PyObject* obj, const char* name, std::vector<Int>& out) {
  if (PyUnicode_Check(obj)) return argument_type_error(name, fixed_texts::kStrIsNotBytes);
  if (!PySequence_Check(obj)) return argument_type_error(name, cannot_convert(obj, fixed_texts::kSequenceTarget));
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return name_type_error(name);
  out.clear();
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) return name_type_error(name);
    Int v;
    if (!to_int(item.get(), name, v)) return false;
    out.push_back(v);
  }
  return true;
}

}  // namespace

bool argument_type_error(const char* name, const std::string& message) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, message.c_str());
  return false;
}

std::string cannot_convert(PyObject* obj, const char* target) {
  return "'" + type_name(obj) + "' object cannot be converted to '" + target + "'";
}

bool to_u8(PyObject* obj, const char* name, uint8_t& out) { return to_int(obj, name, out); }
bool to_u16(PyObject* obj, const char* name, uint16_t& out) { return to_int(obj, name, out); }
bool to_u32(PyObject* obj, const char* name, uint32_t& out) { return to_int(obj, name, out); }
bool to_i32(PyObject* obj, const char* name, int32_t& out) { return to_int(obj, name, out); }

bool to_bool(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // A NumPy boolean scalar, recognised by its type without importing NumPy.
  const std::string type = type_name(obj);
  if (type == "bool_" || type == "bool") {
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    Py_ssize_t len = 0;
    const char* mod = module ? PyUnicode_AsUTF8AndSize(module.get(), &len) : nullptr;
    if (mod && std::string_view(mod, static_cast<size_t>(len)) == "numpy") {
      const int truth = PyObject_IsTrue(obj);
      if (truth < 0) return false;
      out = truth == 1;
      return true;
    }
    PyErr_Clear();
  }
  return argument_type_error(name, cannot_convert(obj, fixed_texts::kBoolTarget));
}

bool to_utf8(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) return argument_type_error(name, cannot_convert(obj, fixed_texts::kStringTarget));
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!text) return false;  // lone surrogates: the UnicodeEncodeError stands
  out.assign(text, static_cast<size_t>(len));
  return true;
}

bool check_no_nul(const std::string& id) {
  const size_t nul = id.find('\0');
  if (nul != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "nul byte found in provided data at position: %zu", nul);
    return false;
  }
  return true;
}

bool to_byte_vector(PyObject* obj, const char* name, std::vector<uint8_t>& out) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
    out.assign(reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + len);
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const char* data = PyByteArray_AsString(obj);
    const Py_ssize_t len = PyByteArray_Size(obj);
    out.assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + len);
    return true;
  }
  return to_int_vector(obj, name, out);
}

bool to_u32_vector(PyObject* obj, const char* name, std::vector<uint32_t>& out) {
  return to_int_vector(obj, name, out);
}

}  // namespace tvis::py

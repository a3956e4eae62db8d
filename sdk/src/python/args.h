// Conversion of Python arguments, with the error texts of the module: a
// TypeError names its argument ("argument 'data': ..."), range errors read
// "out of range integral type conversion attempted".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/py.h"

namespace tvis::py {

// Each returns false with a Python exception set.
bool to_u8(PyObject* obj, const char* name, uint8_t& out);
bool to_u16(PyObject* obj, const char* name, uint16_t& out);
bool to_u32(PyObject* obj, const char* name, uint32_t& out);
bool to_i32(PyObject* obj, const char* name, int32_t& out);
bool to_bool(PyObject* obj, const char* name, bool& out);  // bool or a NumPy bool only
bool to_utf8(PyObject* obj, const char* name, std::string& out);
// A device id travels as a C string: ValueError when it holds a NUL.
bool check_no_nul(const std::string& id);
// bytes, bytearray (and subclasses) as they are; str refused; any other
// sequence item by item, each 0..255.
bool to_byte_vector(PyObject* obj, const char* name, std::vector<uint8_t>& out);
// Any sequence (str refused) of integers 0..4294967295.
bool to_u32_vector(PyObject* obj, const char* name, std::vector<uint32_t>& out);

// Raises TypeError "argument 'NAME': MESSAGE".
bool argument_type_error(const char* name, const std::string& message);
// "'TYPE' object cannot be converted to 'TARGET'".
std::string cannot_convert(PyObject* obj, const char* target);

}  // namespace tvis::py

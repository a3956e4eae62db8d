// The StreamParser class: bytes in, one JSON text per decoded message out.
#pragma once

#include "python/py.h"

namespace tvis::py {

// Creates the class for the module (a heap type).
PyObject* make_stream_parser_type(PyObject* module);

}  // namespace tvis::py

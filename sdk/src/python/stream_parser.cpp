#include "python/stream_parser.h"

#include <new>
#include <string>
#include <vector>

#include "protocol/json_stream.h"
#include "python/args.h"
#include "python/device_dispatch.h"
#include "util/fixed_texts.h"

namespace tvis::py {

namespace {

struct StreamParserObject {
  PyObject_HEAD
  protocol::JsonStream* stream;
  protocol::TextList* texts;  // reused output buffer
  DeviceDispatch* dispatch;  // made with a device id only
};

StreamParserObject* self_of(PyObject* obj) { return reinterpret_cast<StreamParserObject*>(obj); }

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"strict_crc", "legacy_pressure_fallback", "device_id", nullptr};
  PyObject *strict_obj = nullptr, *fallback_obj = nullptr, *id_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO$O", const_cast<char**>(keywords), &strict_obj, &fallback_obj,
                                   &id_obj))
    return nullptr;
  bool strict_crc = false, fallback = true;
  if ((strict_obj && !to_bool(strict_obj, "strict_crc", strict_crc)) ||
      (fallback_obj && !to_bool(fallback_obj, "legacy_pressure_fallback", fallback)))
    return nullptr;
  std::string device_id;
  const bool for_device = id_obj && id_obj != Py_None;
  if (for_device && (!to_utf8(id_obj, "device_id", device_id) || !check_no_nul(device_id))) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (!obj) return nullptr;
  StreamParserObject* self = self_of(obj);
  self->dispatch = for_device ? new (std::nothrow) DeviceDispatch(std::move(device_id)) : nullptr;
  self->stream = new (std::nothrow)
      protocol::JsonStream(strict_crc, fallback, protocol::kPythonSequenceLog,
                           self->dispatch ? self->dispatch->hook() : protocol::DecodedHook{});
  self->texts = new (std::nothrow) protocol::TextList();
  if (!self->stream || !self->texts || (for_device && !self->dispatch)) {
    Py_DECREF(obj);
    return PyErr_NoMemory();
  }
  return obj;
}

void parser_dealloc(PyObject* obj) {
  StreamParserObject* self = self_of(obj);
  delete self->stream;
  delete self->texts;
  delete self->dispatch;
  PyTypeObject* type = Py_TYPE(obj);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

// Any call but push(data) with one positional argument goes through the
// general parser, which words every complaint as the other methods do.
PyObject* push_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 1 && kwnames == nullptr) return args[0];
  Ref tuple(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SetItem(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwargs;
  if (kwnames != nullptr) {
    kwargs = Ref(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_Size(kwnames); ++i)
      if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]) < 0) return nullptr;
  }
  static const char* keywords[] = {"data", nullptr};
  PyObject* data;
  if (!PyArg_ParseTupleAndKeywords(tuple.get(), kwargs.get(), "O", const_cast<char**>(keywords), &data)) return nullptr;
  return data;  // borrowed from the tuple or the dict, which the caller's arguments keep alive
}

// Null with an exception set when memory runs out.
Ref text_list(const protocol::TextList& texts) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return list;
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string_view t = texts[i];
    PyObject* text = PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
    if (!text || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text) < 0) return Ref();
  }
  return list;
}

// Runs the callbacks of what push decoded, after its texts are out of the
// reused buffer: a callback may push into this parser again, or drop the
// last reference to it. An exception already set waits for them.
void deliver(PyObject* obj) {
  Py_INCREF(obj);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  self_of(obj)->dispatch->deliver();
  PyErr_Restore(type, value, traceback);
  Py_DECREF(obj);
}

// Called once or twice per message of a stream: the vectorcall convention
// spares the argument tuple a keyword-capable method otherwise gets.
PyObject* push(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* data = push_argument(args, nargs, kwnames);
  if (!data) return nullptr;
  if (!PyBytes_Check(data)) {
    argument_type_error("data", cannot_convert(data, fixed_texts::kBytesTarget));
    return nullptr;
  }
  char* bytes = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(data, &bytes, &len) < 0) return nullptr;

  StreamParserObject* self = self_of(obj);
  protocol::TextList& texts = *self->texts;
  texts.clear();
  std::optional<std::string> error;
  try {
    error = self->stream->push({reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(len)}, texts);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = error ? Ref() : text_list(texts);
  if (self->dispatch && self->dispatch->pending()) deliver(obj);
  if (error) {
    PyErr_SetString(PyExc_ValueError, error->c_str());
    return nullptr;
  }
  return list.release();
}

PyObject* buffered_len(PyObject* obj, PyObject*) {
  return PyLong_FromSize_t(self_of(obj)->stream->buffered_len());
}

bool put(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* stats(PyObject* obj, PyObject*) {
  const protocol::JsonStream& stream = *self_of(obj)->stream;
  const protocol::StreamStats& s = stream.stats();
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put(d, "frames_received", PyLong_FromUnsignedLongLong(s.frames_received)) &&
                  put(d, "crc_errors", PyLong_FromUnsignedLongLong(s.crc_errors)) &&
                  put(d, "protobuf_errors", PyLong_FromUnsignedLongLong(s.protobuf_errors)) &&
                  put(d, "dropped_bytes", PyLong_FromUnsignedLongLong(s.dropped_bytes)) &&
                  put(d, "buffer_overflows", PyLong_FromUnsignedLongLong(s.buffer_overflows)) &&
                  put(d, "packets_lost", PyLong_FromUnsignedLongLong(s.packets_lost)) &&
                  put(d, "sequence_discontinuities", PyLong_FromUnsignedLongLong(s.sequence_discontinuities)) &&
                  put(d, "last_seq", s.last_seq ? PyLong_FromUnsignedLong(*s.last_seq) : Py_NewRef(Py_None)) &&
                  put(d, "buffered_bytes", PyLong_FromSize_t(stream.buffered_len()));
  return ok ? dict.release() : nullptr;
}

PyObject* reset_stats(PyObject* obj, PyObject*) {
  self_of(obj)->stream->reset_stats();
  Py_RETURN_NONE;
}

PyObject* reset(PyObject* obj, PyObject*) {
  self_of(obj)->stream->reset();
  if (DeviceDispatch* dispatch = self_of(obj)->dispatch) dispatch->clear();
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(push)), METH_FASTCALL | METH_KEYWORDS,
     "push($self, data)\n--\n\n"},
    {"buffered_len", buffered_len, METH_NOARGS, "buffered_len($self)\n--\n\n"},
    {"stats", stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {"reset_stats", reset_stats, METH_NOARGS, "reset_stats($self)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_methods, kMethods},
    // device_id stays out of the text signature, which introspection shows as
    // the parser's two options; the doc text names it.
    {Py_tp_doc, const_cast<char*>("StreamParser(strict_crc=False, legacy_pressure_fallback=True)\n--\n\n"
                                  "With the keyword device_id (a str), the parser also hands the device events "
                                  "and update answers it decodes to the SDK under that id.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "trova_insole_sdk.StreamParser",
    sizeof(StreamParserObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* make_stream_parser_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSpec, nullptr); }

}  // namespace tvis::py

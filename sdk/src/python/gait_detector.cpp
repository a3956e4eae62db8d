#include "python/gait_detector.h"

#include <cmath>
#include <new>
#include <string>

#include "gait/foot_tracker.h"
#include "python/args.h"
#include "runtime/live_gait.h"
#include "util/utf8.h"

namespace tvis::py {

namespace {

// Sets a dict item; false with the exception set when it fails.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* stride_dict(const TvisGaitStride& s) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* p = d.get();
  const bool ok = put(p, "contact_s", PyFloat_FromDouble(s.contact_s)) &&
                  put(p, "foot_off_s", PyFloat_FromDouble(s.foot_off_s)) &&
                  put(p, "next_contact_s", PyFloat_FromDouble(s.next_contact_s)) &&
                  put(p, "stride_s", PyFloat_FromDouble(s.stride_s)) &&
                  put(p, "stance_s", PyFloat_FromDouble(s.stance_s)) &&
                  put(p, "swing_s", PyFloat_FromDouble(s.swing_s)) &&
                  put(p, "flags", PyLong_FromUnsignedLong(s.flags));
  return ok ? d.release() : nullptr;
}

// The tracker's result as the C record (no device, foot or frame).
TvisGaitEvent record_of(const gait::FootTracker::Step& step) {
  TvisGaitEvent r{};
  const gait::GaitEvent& e = *step.event;
  r.type = e.type == gait::EventType::kContact ? TVIS_GAIT_CONTACT : TVIS_GAIT_FOOT_OFF;
  r.has_stride = step.stride.has_value();
  r.time_s = e.time_s;
  r.load = e.load;
  r.sample_index = e.sample_index;
  r.decided_index = e.decided_index;
  if (const auto& s = step.stride)
    r.stride = TvisGaitStride{s->contact_s, s->foot_off_s, s->next_contact_s, s->stride_s, s->stance_s, s->swing_s,
                              s->flags};
  return r;
}

struct GaitDetectorObject {
  PyObject_HEAD
  gait::FootTracker* tracker;
  bool has_last;
  double last_time_s;
};

GaitDetectorObject* self_of(PyObject* obj) { return reinterpret_cast<GaitDetectorObject*>(obj); }

PyObject* detector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "", const_cast<char**>(keywords))) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (!obj) return nullptr;
  GaitDetectorObject* self = self_of(obj);
  self->tracker = new (std::nothrow) gait::FootTracker();
  self->has_last = false;
  self->last_time_s = 0;
  if (!self->tracker) {
    Py_DECREF(obj);
    return PyErr_NoMemory();
  }
  return obj;
}

void detector_dealloc(PyObject* obj) {
  delete self_of(obj)->tracker;
  PyTypeObject* type = Py_TYPE(obj);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : "?";
}

// A real number: TypeError naming the argument (and the item) otherwise.
bool to_number(PyObject* obj, const char* name, Py_ssize_t item, double& out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj) ||
                                                      PyObject_HasAttrString(obj, "__float__"))) {
    std::string what = item < 0 ? "" : " item " + std::to_string(item);
    PyErr_Format(PyExc_TypeError, "argument '%s':%s must be a number, not '%s'", name, what.c_str(),
                 type_name(obj).c_str());
    return false;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

// The checks every sample passes before the tracker sees it. With skip
// (a capture, as the receive path takes it) a sample whose time does not
// advance is left out; otherwise it is an error.
enum class Verdict { kPush, kSkip, kError };
Verdict check_sample(GaitDetectorObject* self, double time_s, double load, Py_ssize_t item, bool skip) {
  const std::string at = item < 0 ? "" : " (sample " + std::to_string(item) + ")";
  if (!std::isfinite(time_s)) {
    PyErr_Format(PyExc_ValueError, "time_s must be finite, not %R%s", Ref(PyFloat_FromDouble(time_s)).get(),
                 at.c_str());
    return Verdict::kError;
  }
  if (!std::isfinite(load)) {
    PyErr_Format(PyExc_ValueError, "load must be finite, not %R%s", Ref(PyFloat_FromDouble(load)).get(), at.c_str());
    return Verdict::kError;
  }
  if (self->has_last && !(time_s > self->last_time_s)) {
    if (skip) return Verdict::kSkip;
    PyErr_Format(PyExc_ValueError, "time_s must increase: %R s after %R s%s", Ref(PyFloat_FromDouble(time_s)).get(),
                 Ref(PyFloat_FromDouble(self->last_time_s)).get(), at.c_str());
    return Verdict::kError;
  }
  return Verdict::kPush;
}

// Pushes a checked sample; appends its event (with "row" when row >= 0).
bool push_checked(GaitDetectorObject* self, double time_s, double load, Py_ssize_t row, PyObject* out) {
  self->has_last = true;
  self->last_time_s = time_s;
  const gait::FootTracker::Step step = self->tracker->push(time_s, load);
  if (!step.event) return true;
  TvisGaitEvent record = record_of(step);
  Ref event(gait_event_dict(record));
  if (!event) return false;
  if (row >= 0 && !put(event.get(), "row", PyLong_FromSsize_t(row))) return false;
  return PyList_Append(out, event.get()) == 0;
}

PyObject* detector_push(PyObject* obj, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"time_s", "load", nullptr};
  PyObject *t_obj, *l_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(keywords), &t_obj, &l_obj)) return nullptr;
  double t, l;
  if (!to_number(t_obj, "time_s", -1, t) || !to_number(l_obj, "load", -1, l)) return nullptr;
  GaitDetectorObject* self = self_of(obj);
  if (check_sample(self, t, l, -1, false) == Verdict::kError) return nullptr;
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  try {
    if (!push_checked(self, t, l, -1, out.get())) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return out.release();
}

// A list copy of any sequence but text: numpy arrays, lists, tuples.
Ref as_list(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a sequence of numbers is needed", name);
    return Ref();
  }
  return Ref(PySequence_List(obj));
}

PyObject* detector_push_many(PyObject* obj, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"times", "loads", "gaps", "skip_repeats", nullptr};
  PyObject *t_obj, *l_obj, *g_obj = Py_None, *skip_obj = Py_False;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO", const_cast<char**>(keywords), &t_obj, &l_obj, &g_obj,
                                   &skip_obj))
    return nullptr;
  bool skip = false;
  if (!to_bool(skip_obj, "skip_repeats", skip)) return nullptr;
  Ref times = as_list(t_obj, "times");
  if (!times) return nullptr;
  Ref loads = as_list(l_obj, "loads");
  if (!loads) return nullptr;
  Ref gaps;
  if (g_obj != Py_None && !(gaps = as_list(g_obj, "gaps"))) return nullptr;
  const Py_ssize_t n = PyList_Size(times.get());
  if (PyList_Size(loads.get()) != n || (gaps && PyList_Size(gaps.get()) != n)) {
    PyErr_SetString(PyExc_ValueError, "times, loads and gaps must have the same length");
    return nullptr;
  }
  GaitDetectorObject* self = self_of(obj);
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  try {
    for (Py_ssize_t i = 0; i < n; ++i) {
      double t, l;
      if (!to_number(PyList_GetItem(times.get(), i), "times", i, t) ||
          !to_number(PyList_GetItem(loads.get(), i), "loads", i, l))
        return nullptr;
      if (gaps) {
        const int lost = PyObject_IsTrue(PyList_GetItem(gaps.get(), i));
        if (lost < 0) return nullptr;
        if (lost) self->tracker->mark_gap();
      }
      const Verdict v = check_sample(self, t, l, i, skip);
      if (v == Verdict::kError) return nullptr;
      if (v == Verdict::kPush && !push_checked(self, t, l, i, out.get())) return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return out.release();
}

PyObject* detector_mark_gap(PyObject* obj, PyObject*) {
  self_of(obj)->tracker->mark_gap();
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detector_push)), METH_VARARGS | METH_KEYWORDS,
     "push($self, time_s, load)\n--\n\n"
     "One sample: device time in seconds (increasing) and the foot's total load (newtons or device units). "
     "Returns the events it decides, a list of at most one dict."},
    {"push_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detector_push_many)),
     METH_VARARGS | METH_KEYWORDS,
     "push_many($self, times, loads, gaps=None, skip_repeats=False)\n--\n\n"
     "push() over arrays; gaps (true where frames were lost just before the sample) mark the open stride. "
     "Each event has \"row\", the position of the sample that decided it. With skip_repeats a sample whose "
     "time does not advance is left out, as the live receive path does."},
    {"mark_gap", detector_mark_gap, METH_NOARGS,
     "mark_gap($self)\n--\n\nFrames were lost before the next sample: the open stride is marked."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(detector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(detector_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("GaitDetector()\n--\n\n"
                                  "One foot's gait events and strides, the SDK's own detector fed by the host.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"trova_insole_sdk.GaitDetector", sizeof(GaitDetectorObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* gait_event_dict(const TvisGaitEvent& e) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* p = d.get();
  const char* unit = e.load_unit == TVIS_LOAD_NEWTONS ? "N" : "device units";
  bool ok = put(p, "type", PyUnicode_FromString(e.type == TVIS_GAIT_CONTACT ? "contact" : "foot_off")) &&
            put(p, "time_s", PyFloat_FromDouble(e.time_s)) && put(p, "load", PyFloat_FromDouble(e.load)) &&
            put(p, "sample_index", PyLong_FromUnsignedLongLong(e.sample_index)) &&
            put(p, "decided_index", PyLong_FromUnsignedLongLong(e.decided_index)) &&
            put(p, "stride", e.has_stride ? stride_dict(e.stride) : Py_NewRef(Py_None));
  if (ok && e.device_id)  // from the receive path: what the frame says
    ok = put(p, "load_unit", PyUnicode_FromString(unit)) && put(p, "foot", PyLong_FromLong(e.foot)) &&
         put(p, "seq_num", PyLong_FromUnsignedLong(e.seq_num));
  return ok ? d.release() : nullptr;
}

PyObject* enable_gait(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"device_id", "enable", nullptr};
  PyObject *id_obj, *on_obj = Py_True;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(keywords), &id_obj, &on_obj))
    return nullptr;
  std::string id;
  bool on = true;
  if (!to_utf8(id_obj, "device_id", id) || !check_no_nul(id) || !to_bool(on_obj, "enable", on)) return nullptr;
  try {
    c::enable_live_gait(id, on);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

PyObject* make_gait_detector_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSpec, nullptr); }

}  // namespace tvis::py

// Traceback entries of our frames, made as the interpreter makes them, on each interpreter version.
#include "runtime/compat/traceback_entries.h"

#include "runtime/compat/gc_tracking.h"

namespace smsline {

namespace {

// The pending exception set aside while its entry is allocated: the
// allocation may run a collection (and with it anyone's finaliser), which
// the interpreter runs with no exception pending, and a failed allocation
// sets MemoryError in the pending exception's place.
struct SetAside {
#if PY_VERSION_HEX < 0x030C0000
  PyObject *type, *value, *traceback;
#else
  PyObject* exception;
#endif
};

// The pending exception's traceback head as the interpreter keeps it:
// beside the exception up to 3.11, in the exception object from 3.12.
PyObject*& traceback_head(SetAside& pending) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return pending.traceback;
#else
  return reinterpret_cast<PyBaseExceptionObject*>(pending.exception)->traceback;
#endif
}

void set_aside(PyThreadState* tstate, SetAside& pending) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  pending = SetAside{tstate->curexc_type, tstate->curexc_value, tstate->curexc_traceback};
  tstate->curexc_type = tstate->curexc_value = tstate->curexc_traceback = nullptr;
#else
  pending.exception = tstate->current_exception;
  tstate->current_exception = nullptr;
#endif
}

// Puts it back; nothing is pending.
void put_back(PyThreadState* tstate, const SetAside& pending) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  tstate->curexc_type = pending.type;
  tstate->curexc_value = pending.value;
  tstate->curexc_traceback = pending.traceback;
#else
  tstate->current_exception = pending.exception;
#endif
}

bool exception_pending(const SetAside& pending) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return pending.type != nullptr;
#else
  return pending.exception != nullptr && PyExceptionInstance_Check(pending.exception);
#endif
}

}  // namespace

bool prepend_traceback_entry(PyObject*& head, PyFrameObject* frame, int index, int line) noexcept {
  if (head != nullptr && !PyTraceBack_Check(head)) return false;
  PyTracebackObject* const entry = PyObject_GC_New(PyTracebackObject, &PyTraceBack_Type);
  if (entry == nullptr) {
    PyErr_Clear();  // the failed allocation's MemoryError
    return false;
  }
  entry->tb_next = reinterpret_cast<PyTracebackObject*>(head);  // the entry takes the head's reference
  Py_INCREF(frame);
  entry->tb_frame = frame;
  entry->tb_lasti = index * TRACEBACK_LASTI_PER_INDEX;
  entry->tb_lineno = PY_VERSION_HEX < 0x030B0000 ? line : -1;
  smsline_gc_track(reinterpret_cast<PyObject*>(entry));
  head = reinterpret_cast<PyObject*>(entry);
  return true;
}

void add_traceback_entry(PyThreadState* tstate, PyFrameObject* frame, int index, int line) noexcept {
  SetAside pending;
  set_aside(tstate, pending);
  const bool added = exception_pending(pending) && prepend_traceback_entry(traceback_head(pending), frame, index, line);
  put_back(tstate, pending);
  if (!added) PyTraceBack_Here(frame);
}

}  // namespace smsline

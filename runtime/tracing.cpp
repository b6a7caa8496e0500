// Sending call, line, exception and return events to the thread's trace and profile functions.
#include "runtime/tracing.h"

namespace smsline {

namespace {

// One event to one function, with the thread's re-entry guard: while it
// runs, no further events are sent on this thread.  0, or -1 with an
// exception set.
int call_trace(Py_tracefunc function, PyObject* owner, PyThreadState* tstate, PyFrameObject* frame, int what,
               PyObject* arg) noexcept {
  if (tstate->tracing) return 0;
  ++tstate->tracing;
  use_tracing(tstate) = 0;
  const int result = function(owner, frame, what, arg);
  use_tracing(tstate) = tstate->c_tracefunc != nullptr || tstate->c_profilefunc != nullptr;
  --tstate->tracing;
  return result;
}

// call_trace with a pending exception set aside and restored afterwards,
// unless the function raised (then its exception is the pending one).
int call_trace_protected(Py_tracefunc function, PyObject* owner, PyThreadState* tstate, PyFrameObject* frame,
                         int what, PyObject* arg) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (call_trace(function, owner, tstate, frame, what, arg) == 0) {
    PyErr_Restore(type, value, traceback);
    return 0;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return -1;
}

}  // namespace

int send_call_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  if (tstate->c_tracefunc != nullptr &&
      call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_CALL, Py_None) < 0) {
    return -1;
  }
  if (tstate->c_profilefunc != nullptr &&
      call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_CALL, Py_None) < 0) {
    return -1;
  }
  return 0;
}

int send_line_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  if (tstate->c_tracefunc == nullptr) return 0;
  return call_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_LINE, Py_None);
}

void send_exception_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  if (tstate->c_tracefunc == nullptr || tstate->tracing) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (value == nullptr) {
    value = Py_None;
    Py_INCREF(value);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* arg = PyTuple_Pack(3, type, value, traceback != nullptr ? traceback : Py_None);
  if (arg == nullptr) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  const int failed = call_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_EXCEPTION, arg);
  Py_DECREF(arg);
  if (failed == 0) {
    PyErr_Restore(type, value, traceback);
  } else {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
}

int send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) noexcept {
  // On a failure exit the functions get no result (the interpreter's
  // trampolines show it as None) and the pending exception stays.
  bool failing = result == nullptr;
  if (tstate->c_tracefunc != nullptr) {
    if (failing) {
      call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_RETURN, nullptr);
    } else if (call_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_RETURN, result) < 0) {
      failing = true;
    }
  }
  if (tstate->c_profilefunc != nullptr) {
    if (failing) {
      call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_RETURN, nullptr);
    } else if (call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_RETURN, result) < 0) {
      failing = true;
    }
  }
  return failing ? -1 : 0;
}

int send_loop_pass_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return send_line_event(tstate, frame);
}

// Re-raises and caught exceptions are no events of these interpreters.
void send_reraise_event(PyThreadState*, PyFrameObject*) noexcept {}
void send_handled_event(PyThreadState*, PyFrameObject*) noexcept {}

// (The profile function is not told the call's arguments.)
int send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject*) noexcept {
  return call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, tstate->frame, PyTrace_C_CALL, function);
}

int send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject*, bool failed) noexcept {
  if (tstate->c_profilefunc == nullptr) return failed ? -1 : 0;
  if (failed) {
    call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, tstate->frame, PyTrace_C_EXCEPTION,
                         function);
    return -1;
  }
  return call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, tstate->frame, PyTrace_C_RETURN, function);
}

}  // namespace smsline

// Events of our frames to the thread's trace and profile functions (3.6 to 3.11), sent as the bytecode loop sends them.
//
// Up to 3.11 the interpreter calls the thread's c_tracefunc and
// c_profilefunc directly (sys.settrace's and sys.setprofile's trampolines,
// cProfile, a debugger's C function), with events held off on the thread
// for the duration (compat/tracing.h).  From 3.12 these functions are
// sys.monitoring tools, and events_monitoring.c sends the events instead.
#include "runtime/tracing.h"

#if PY_VERSION_HEX < 0x030C0000

#include "runtime/compat/frames.h"

#if PY_VERSION_HEX >= 0x030B0000
// Set by smsline_allow_events at the extension's start (see
// runtime/compat/tracing.h); up to 3.10 events always go out.
extern "C" {
std::uint8_t smsline_events_mask = 0;
}

extern "C" void smsline_allow_events(int allowed) { smsline_events_mask = allowed ? 0xFF : 0; }
#endif

namespace {

using namespace smsline;

// One event to one function, as the interpreter's call_trace makes it: with
// no further events on this thread while it runs, and the frame showing its
// line.  0, or -1 with an exception set.
int call_trace(Py_tracefunc function, PyObject* owner, PyThreadState* tstate, PyFrameObject* frame, int what,
               PyObject* arg) noexcept {
  if (tstate->tracing) return 0;
  const int saved = enter_trace_function(tstate, what);
  show_line_to_trace_function(frame, true);
  const int result = function(owner, frame, what, arg);
  show_line_to_trace_function(frame, false);
  leave_trace_function(tstate, saved);
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

int call_trace_function(PyThreadState* tstate, PyFrameObject* frame, int what, PyObject* arg) noexcept {
  return call_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, what, arg);
}
int call_profile_function(PyThreadState* tstate, PyFrameObject* frame, int what, PyObject* arg) noexcept {
  return call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, what, arg);
}

}  // namespace

extern "C" int smsline_send_call_event(PyThreadState* tstate, PyFrameObject* frame) {
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

// The next pass of a loop on one line is a line event of its own up to 3.11
// (the jump back to the loop's head).
extern "C" int smsline_send_line_event(PyThreadState* tstate, PyFrameObject* frame, int) {
  if (tstate->c_tracefunc == nullptr || !frame_traces_lines(frame)) return 0;
  return call_trace_function(tstate, frame, PyTrace_LINE, Py_None);
}

// The exception event is sent for an exception raised in the frame, not for
// a re-raise.
extern "C" void smsline_send_exception_event(PyThreadState* tstate, PyFrameObject* frame, int reraised) {
  if (reraised || tstate->c_tracefunc == nullptr || tstate->tracing) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (value == nullptr) {
    value = Py_None;
    Py_INCREF(value);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* const arg = PyTuple_Pack(3, type, value, traceback != nullptr ? traceback : Py_None);
  if (arg == nullptr) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  const int failed = call_trace_function(tstate, frame, PyTrace_EXCEPTION, arg);
  Py_DECREF(arg);
  if (failed == 0) {
    PyErr_Restore(type, value, traceback);
  } else {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
}

// A caught exception is no event of these interpreters.
extern "C" void smsline_send_handled_event(PyThreadState*, PyFrameObject*) {}

extern "C" int smsline_send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) {
  // On a failure exit the functions get no result (the interpreter's
  // trampolines show it as None) and the pending exception stays.
  bool failing = result == nullptr;
  if (tstate->c_tracefunc != nullptr) {
    if (failing) {
      call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_RETURN, nullptr);
    } else if (call_trace_function(tstate, frame, PyTrace_RETURN, result) < 0) {
      failing = true;
    }
  }
  if (tstate->c_profilefunc != nullptr) {
    if (failing) {
      call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_RETURN, nullptr);
    } else if (call_profile_function(tstate, frame, PyTrace_RETURN, result) < 0) {
      failing = true;
    }
  }
  return failing ? -1 : 0;
}

// The built-in calls' events go with the frame that makes the call, the
// thread's current frame (one of ours); the profile function is not told
// the call's arguments.
extern "C" int smsline_send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject*) {
  if (tstate->c_profilefunc == nullptr) return 0;
  return call_profile_function(tstate, PyEval_GetFrame(), PyTrace_C_CALL, function);
}

extern "C" int smsline_send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject*, int failed) {
  if (tstate->c_profilefunc == nullptr) return failed ? -1 : 0;
  PyFrameObject* const frame = PyEval_GetFrame();
  if (failed) {
    call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_C_EXCEPTION, function);
    return -1;
  }
  return call_profile_function(tstate, frame, PyTrace_C_RETURN, function);
}

#endif  // up to 3.11

/* Events of our frames to the thread's trace and profile functions on 3.11, as its bytecode loop sends them.

   3.11 calls the thread's c_tracefunc and c_profilefunc directly, with
   tracing entered around each call (no events meanwhile) and the frame's
   f_lineno set to the current line for the duration: the line is read from
   the instruction pointer otherwise, and f_lineno is what a trace function
   may assign to jump.  Frame objects are described only by the
   interpreter's internal headers, which compile as C, not as C++: this file
   reads them. */
#define Py_BUILD_CORE 1
#include <Python.h>
/* An object.h macro of the same name clashes with the internal headers'. */
#undef _PyGC_FINALIZED
#include "internal/pycore_frame.h"

#include "runtime/compat/frame_records.h"

/* Set by smsline_allow_events at the extension's start (see
   runtime/compat/tracing.h). */
SMSLINE_EXPORT uint8_t smsline_events_mask = 0;

SMSLINE_EXPORT void smsline_allow_events(int allowed) { smsline_events_mask = allowed ? 0xFF : 0; }

/* One event to one function, as the interpreter's call_trace makes it.
   0, or -1 with an exception set. */
static int call_trace(Py_tracefunc function, PyObject* owner, PyThreadState* tstate, PyFrameObject* frame, int what,
                      PyObject* arg) {
  if (tstate->tracing) return 0;
  const int old_what = tstate->tracing_what;
  tstate->tracing_what = what;
  PyThreadState_EnterTracing(tstate);
  _PyInterpreterFrame* const record = frame->f_frame;
  frame->f_lineno = PyCode_Addr2Line(record->f_code, _PyInterpreterFrame_LASTI(record) * (int)sizeof(_Py_CODEUNIT));
  const int result = function(owner, frame, what, arg);
  frame->f_lineno = 0;
  PyThreadState_LeaveTracing(tstate);
  tstate->tracing_what = old_what;
  return result;
}

/* call_trace with a pending exception set aside and restored afterwards,
   unless the function raised (then its exception is the pending one). */
static int call_trace_protected(Py_tracefunc function, PyObject* owner, PyThreadState* tstate, PyFrameObject* frame,
                                int what, PyObject* arg) {
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

SMSLINE_EXPORT int smsline_send_call_event(PyThreadState* tstate, PyFrameObject* frame) {
  if (tstate->c_tracefunc != NULL &&
      call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_CALL, Py_None) < 0) {
    return -1;
  }
  if (tstate->c_profilefunc != NULL &&
      call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_CALL, Py_None) < 0) {
    return -1;
  }
  return 0;
}

/* A loop pass is a line event of its own on 3.11 (the jump back to the
   loop's head). */
SMSLINE_EXPORT int smsline_send_line_event(PyThreadState* tstate, PyFrameObject* frame, int loop_pass) {
  (void)loop_pass;
  if (tstate->c_tracefunc == NULL || !frame->f_trace_lines) return 0;
  return call_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_LINE, Py_None);
}

/* 3.11 sends the exception event for an exception raised in the frame, not
   for a re-raise. */
SMSLINE_EXPORT void smsline_send_exception_event(PyThreadState* tstate, PyFrameObject* frame, int reraised) {
  if (reraised || tstate->c_tracefunc == NULL || tstate->tracing) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (value == NULL) {
    value = Py_None;
    Py_INCREF(value);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* const arg = PyTuple_Pack(3, type, value, traceback != NULL ? traceback : Py_None);
  if (arg == NULL) {
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

/* No event for a caught exception on 3.11. */
SMSLINE_EXPORT void smsline_send_handled_event(PyThreadState* tstate, PyFrameObject* frame) {
  (void)tstate;
  (void)frame;
}

SMSLINE_EXPORT int smsline_send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) {
  /* On a failure exit the functions get no result (the interpreter's
     trampolines show it as None) and the pending exception stays. */
  int failing = result == NULL;
  if (tstate->c_tracefunc != NULL) {
    if (failing) {
      call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_RETURN, NULL);
    } else if (call_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, frame, PyTrace_RETURN, result) < 0) {
      failing = 1;
    }
  }
  if (tstate->c_profilefunc != NULL) {
    if (failing) {
      call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_RETURN, NULL);
    } else if (call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_RETURN, result) < 0) {
      failing = 1;
    }
  }
  return failing ? -1 : 0;
}

/* The built-in calls' events go with the frame that makes the call: the
   thread's current frame, one of ours. */
SMSLINE_EXPORT int smsline_send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument) {
  (void)first_argument;
  if (tstate->c_profilefunc == NULL) return 0;
  return call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, PyEval_GetFrame(), PyTrace_C_CALL, function);
}

SMSLINE_EXPORT int smsline_send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument,
                                               int failed) {
  (void)first_argument;
  if (tstate->c_profilefunc == NULL) return failed ? -1 : 0;
  PyFrameObject* const frame = PyEval_GetFrame();
  if (failed) {
    call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_C_EXCEPTION, function);
    return -1;
  }
  return call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, frame, PyTrace_C_RETURN, function);
}

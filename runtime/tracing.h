// Trace and profile events for our frames, sent as the interpreter's bytecode loop sends them.
#pragma once

#include "runtime/compat/tracing.h"
#include "runtime/python.h"

namespace smsline {

// Whether a trace or profile function is set on the thread and no event is
// being handled right now: the one check that a call makes when nothing
// listens.  (The interpreter clears use_tracing while it runs a trace or
// profile function, so events are never nested.)
inline bool tracing_wanted(PyThreadState* tstate) noexcept { return use_tracing(tstate) != 0; }

// Whether a trace function (not only a profile function) wants line events now.
inline bool line_tracing_wanted(PyThreadState* tstate) noexcept {
  return use_tracing(tstate) != 0 && tstate->c_tracefunc != nullptr;
}

// Whether a profile function wants the events of built-in calls now.
inline bool profiling_wanted(PyThreadState* tstate) noexcept {
  return use_tracing(tstate) != 0 && tstate->c_profilefunc != nullptr;
}

// The "call" event to the trace function, then to the profile function, at
// frame entry.  A pending exception is kept aside around each.  0, or -1
// with the exception of the trace or profile function that raised: the
// call then ends at once, with no return event and no traceback entry.
int send_call_event(PyThreadState* tstate, PyFrameObject* frame) noexcept;

// The "line" event to the trace function (the frame's f_lineno is set).
// 0, or -1 with the trace function's exception set.
int send_line_event(PyThreadState* tstate, PyFrameObject* frame) noexcept;

// The "exception" event to the trace function, for the pending exception
// (normalized, as a (type, value, traceback) tuple).  When the trace
// function raises, its exception replaces the pending one.
void send_exception_event(PyThreadState* tstate, PyFrameObject* frame) noexcept;

// The "return" events at frame exit: with `result` on a normal exit, or
// None on a failure exit (result null, exception pending and kept).  On a
// normal exit a raising trace function turns the return into a failure: -1
// with its exception set (the profile function then gets None).  A raising
// profile function is ignored, as the interpreter ignores it.
int send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) noexcept;

// The "c_call" event to the profile function, for the built-in `function`
// that the current frame is about to call.  0, or -1 with the profile
// function's exception set: the call is then not made.
int send_c_call_event(PyThreadState* tstate, PyObject* function) noexcept;

// After that call: "c_return" when it returned (0, or -1 with the profile
// function's exception set: the result is then dropped), or "c_exception"
// when it failed (its exception kept, unless the profile function raised).
int send_c_return_event(PyThreadState* tstate, PyObject* function, bool failed) noexcept;

}  // namespace smsline

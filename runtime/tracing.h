// Trace and profile events for our frames, sent as the interpreter's bytecode loop sends them.
#pragma once

#include "runtime/compat/tracing.h"
#include "runtime/python.h"

namespace smsline {

// Whether a trace, profile or monitoring function listens and no event is
// being handled right now: the one check that a call makes when nothing
// listens.  (The interpreter clears use_tracing while it runs a trace or
// profile function, so events are never nested; from 3.12 the senders
// themselves stay quiet while the thread handles an event.)
inline bool tracing_wanted(PyThreadState* tstate) noexcept { return use_tracing(tstate) != 0; }

// Whether a trace function (not only a profile function) wants line events
// now; from 3.12, whether a tool listens to lines or jumps.
inline bool line_tracing_wanted(PyThreadState* tstate) noexcept { return line_events_wanted(tstate); }

// Whether a profile function wants the events of built-in calls now; from
// 3.12, whether a tool listens to calls.
inline bool profiling_wanted(PyThreadState* tstate) noexcept { return call_events_wanted(tstate); }

// The senders of the events below: the thread's trace and profile functions
// up to 3.11 (runtime/tracing.cpp), sys.monitoring tools from 3.12
// (runtime/compat/events_monitoring.c, in C because the interpreter's
// records it reads are described only by headers that compile as C).
}  // namespace smsline

extern "C" {
int smsline_send_call_event(PyThreadState* tstate, PyFrameObject* frame);
int smsline_send_line_event(PyThreadState* tstate, PyFrameObject* frame, int loop_pass);
void smsline_send_exception_event(PyThreadState* tstate, PyFrameObject* frame, int reraised);
void smsline_send_handled_event(PyThreadState* tstate, PyFrameObject* frame);
int smsline_send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result);
int smsline_send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument);
int smsline_send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument, int failed);
}

namespace smsline {

// The "call" event to the trace function, then to the profile function, at
// frame entry.  A pending exception is kept aside around each.  0, or -1
// with the exception of the trace or profile function that raised: the
// call then ends at once, with no return event and no traceback entry.
inline int send_call_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return smsline_send_call_event(tstate, frame);
}

// The "line" event to the trace function (the frame's f_lineno is set).
// 0, or -1 with the trace function's exception set.
inline int send_line_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return smsline_send_line_event(tstate, frame, 0);
}

// The next pass of a loop that stays on one line: a line event up to 3.11;
// from 3.12 the jump back to the loop's head (sys.settrace makes its line
// event of it).  0, or -1 with the exception of the function that raised.
inline int send_loop_pass_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return smsline_send_line_event(tstate, frame, 1);
}

// The "exception" event to the trace function, for the pending exception
// (normalized, as a (type, value, traceback) tuple).  When the trace
// function raises, its exception replaces the pending one.
inline void send_exception_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  smsline_send_exception_event(tstate, frame, 0);
}

// The pending exception passes through the frame again (a bare raise, a
// finally block, an except clause that did not match), on the frame's way
// out: from 3.12 monitoring tools are told of the re-raise, then of the
// compiler's exception-handling code catching it and re-raising it again,
// where the frame then stands (its line unchanged); up to 3.11 nothing is
// sent, as the interpreter sends nothing.  A tool that raises replaces the
// pending exception.
inline void send_reraise_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  smsline_send_exception_event(tstate, frame, 1);
}

// The pending exception is caught by a handler in the frame: from 3.12
// monitoring tools are told; up to 3.11 nothing is sent.  A tool that
// raises replaces the pending exception.
inline void send_handled_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  smsline_send_handled_event(tstate, frame);
}

// The "return" events at frame exit: with `result` on a normal exit, or
// None on a failure exit (result null, exception pending and kept).  On a
// normal exit a raising trace function turns the return into a failure: -1
// with its exception set (the profile function then gets None).  A raising
// profile function is ignored, as the interpreter ignores it.  (From 3.12
// these are the return and unwind events of monitoring tools; a tool that
// raises at an unwind replaces the pending exception, as there.)
inline int send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) noexcept {
  return smsline_send_return_event(tstate, frame, result);
}

// The "c_call" event to the profile function, for the built-in `function`
// that the current frame is about to call with `first_argument` first (null
// when none; from 3.12 monitoring tools are given both).  0, or -1 with the
// profile function's exception set: the call is then not made.
inline int send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument) noexcept {
  return smsline_send_c_call_event(tstate, function, first_argument);
}

// After that call: "c_return" when it returned (0, or -1 with the profile
// function's exception set: the result is then dropped), or "c_exception"
// when it failed (its exception kept, unless the profile function raised).
inline int send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument, bool failed) noexcept {
  return smsline_send_c_return_event(tstate, function, first_argument, failed ? 1 : 0);
}

}  // namespace smsline

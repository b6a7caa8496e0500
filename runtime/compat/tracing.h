// Where each interpreter version keeps what says "a trace, profile or monitoring tool listens".
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/compat/monitoring_events.h"
#include "runtime/python.h"

#if PY_VERSION_HEX >= 0x030B0000
extern "C" {
// Whether events are sent for our frames at all: set once at the
// extension's start, when our frames are known to run in the interpreter's
// frame stack (smsline_allow_events).  Up to then, and for good when they
// are made for the traceback only, nothing listens as far as they know.
// 3.11: 0xFF when allowed, else 0 (masks the thread's use_tracing flag).
// 3.12 and later: the interpreter's per-event tool bitmaps (its
// monitors.tools, one byte per event, a bit per tool), or a block of zeros.
void smsline_allow_events(int allowed);
#if PY_VERSION_HEX < 0x030C0000
extern std::uint8_t smsline_events_mask;
#else
extern const std::uint8_t* smsline_event_tools;
#endif
}
#endif

namespace smsline {

#if PY_VERSION_HEX < 0x030B0000
// The flag the bytecode loop tests before sending trace and profile events:
// true while a trace or profile function is set and none is running.  A
// field of the thread state up to 3.9; in 3.10 it lives in the thread's
// current C frame record (what sys.settrace and the bytecode loop update).
inline int& use_tracing(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  return tstate->use_tracing;
#else
  return tstate->cframe->use_tracing;
#endif
}
#elif PY_VERSION_HEX < 0x030C0000
// 3.11 keeps the flag in the C frame record too (0 or 255); our frames see
// it only when events are sent for them at all (the mask, read only when
// the flag is up).
inline int use_tracing(PyThreadState* tstate) noexcept {
  return tstate->cframe->use_tracing != 0 ? tstate->cframe->use_tracing & smsline_events_mask : 0;
}
#else
// From 3.12 sys.settrace, sys.setprofile and cProfile are tools of
// sys.monitoring, like any other: what listens is the interpreter's tool
// bitmap of each event (numbered as in monitoring_events.h).
namespace monitoring {
inline std::uint64_t word_at(const std::uint8_t* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}
}  // namespace monitoring

// Whether any tool listens to any event: the bitmaps of events 0 to 7 and
// 7 to 14 read as two words.  (A tool of only events that ours do not send
// costs the senders a look each; a tool's own code, run while the thread
// handles an event, is told apart by the senders, which send nothing then,
// as the interpreter does.)
inline int use_tracing(PyThreadState*) noexcept {
  const std::uint8_t* const tools = smsline_event_tools;
  return (monitoring::word_at(tools) | monitoring::word_at(tools + 7)) != 0;
}
#endif

// Whether line events are wanted (a trace function is set; from 3.12 a
// tool listens to lines or to jumps), and whether the events of calls are
// (a profile function is set; from 3.12 a tool listens to calls).
#if PY_VERSION_HEX < 0x030C0000
inline bool line_events_wanted(PyThreadState* tstate) noexcept {
  return use_tracing(tstate) != 0 && tstate->c_tracefunc != nullptr;
}
inline bool call_events_wanted(PyThreadState* tstate) noexcept {
  return use_tracing(tstate) != 0 && tstate->c_profilefunc != nullptr;
}
#else
inline bool line_events_wanted(PyThreadState*) noexcept {
  return (smsline_event_tools[SMSLINE_EVENT_LINE] | smsline_event_tools[SMSLINE_EVENT_JUMP]) != 0;
}
inline bool call_events_wanted(PyThreadState*) noexcept { return smsline_event_tools[SMSLINE_EVENT_CALL] != 0; }
#endif

// What the interpreter makes of a trace or monitoring function that raises
// at a call event: up to 3.10 the call ends at once, with no traceback
// entry and no more events; from 3.11 the exception counts as raised by the
// function's first instruction (a traceback entry on its first line, then
// the exception and return events).
constexpr bool CALL_EVENT_ERROR_RAISED_IN_FRAME = PY_VERSION_HEX >= 0x030B0000;
// The same at a return event: from 3.12 the exception counts as raised by
// the returning instruction; up to 3.11 the call just fails.
constexpr bool RETURN_EVENT_ERROR_RAISED_IN_FRAME = PY_VERSION_HEX >= 0x030C0000;
// Whether a handler that catches an exception is an event of its own:
// from 3.12 (sys.monitoring's EXCEPTION_HANDLED); before, handler entry
// makes no check at all.
constexpr bool HANDLER_EVENTS = PY_VERSION_HEX >= 0x030C0000;
// Where an except clause that did not match re-raises: up to 3.10 from
// inside the clause's last line (a profile function, reading f_lasti, sees
// that line); from 3.11 from the except line itself.
constexpr bool RERAISE_FROM_CLAUSE_END = PY_VERSION_HEX < 0x030B0000;

// Whether events go to sys.monitoring tools (from 3.12) rather than to the
// thread's trace and profile functions.
constexpr bool MONITORING_EVENTS = PY_VERSION_HEX >= 0x030C0000;

// Around one call of a trace or profile function, what the interpreter's
// call_trace does: no events on the thread meanwhile (the thread's tracing
// count up, its use_tracing flag off, as PyThreadState_EnterTracing does
// from 3.11), and on 3.11 the kind of event recorded in tracing_what (what
// the f_lineno setter reads).  enter_trace_function returns what
// leave_trace_function needs to put back.
inline int enter_trace_function(PyThreadState* tstate, [[maybe_unused]] int what) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  ++tstate->tracing;
  use_tracing(tstate) = 0;
  return 0;
#elif PY_VERSION_HEX < 0x030C0000
  const int old_what = tstate->tracing_what;
  tstate->tracing_what = what;
  PyThreadState_EnterTracing(tstate);
  return old_what;
#else
  PyThreadState_EnterTracing(tstate);
  return 0;
#endif
}
inline void leave_trace_function(PyThreadState* tstate, [[maybe_unused]] int saved) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  use_tracing(tstate) = tstate->c_tracefunc != nullptr || tstate->c_profilefunc != nullptr;
  --tstate->tracing;
#else
  PyThreadState_LeaveTracing(tstate);
#if PY_VERSION_HEX < 0x030C0000
  tstate->tracing_what = saved;
#endif
#endif
}

// Holds trace and profile events off on the thread while code runs that
// no trace function should see, and lets them on again afterwards (as
// sys.settrace computes the flag: a signal handler run meanwhile may have
// changed the functions).
inline void hold_off_tracing(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  use_tracing(tstate) = 0;
#else
  PyThreadState_EnterTracing(tstate);
#endif
}
inline void resume_tracing(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  use_tracing(tstate) = tstate->c_tracefunc != nullptr || tstate->c_profilefunc != nullptr;
#else
  PyThreadState_LeaveTracing(tstate);
#endif
}

}  // namespace smsline

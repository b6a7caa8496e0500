// The thread's tracing flag, which moved between interpreter versions.
#pragma once

#include "runtime/python.h"

namespace smsline {

// The flag the bytecode loop tests before sending trace and profile events:
// true while a trace or profile function is set and none is running.  A
// field of the thread state up to 3.9; in 3.10 it lives in the thread's
// current C frame record (what sys.settrace and the bytecode loop update).
#if PY_VERSION_HEX < 0x030B0000
inline int& use_tracing(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  return tstate->use_tracing;
#else
  return tstate->cframe->use_tracing;
#endif
}
#else
// From 3.11 our frames are not in the thread's frame stack (see
// FRAMES_DETACHED) and are sent no events: none is ever wanted.
constexpr int use_tracing(PyThreadState*) noexcept { return 0; }
#endif

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

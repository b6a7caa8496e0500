// The thread's tracing flag, which moved between interpreter versions.
#pragma once

#include "runtime/python.h"

namespace smsline {

// The flag the bytecode loop tests before sending trace and profile events:
// true while a trace or profile function is set and none is running.  A
// field of the thread state up to 3.9; from 3.10 it lives in the thread's
// current C frame record (what sys.settrace and the bytecode loop update).
inline int& use_tracing(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  return tstate->use_tracing;
#else
  return tstate->cframe->use_tracing;
#endif
}

}  // namespace smsline

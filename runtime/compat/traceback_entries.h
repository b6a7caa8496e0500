// Traceback entries of our frames, made as the interpreter makes them, on each interpreter version.
#pragma once

#include "runtime/python.h"

namespace smsline {

// A frame's last instruction in the unit of its f_lasti (bytes up to 3.9,
// 2-byte code units from 3.10, the record's instruction index from 3.11),
// as a traceback entry's tb_lasti, which is in bytes on every version.
#if PY_VERSION_HEX < 0x030A0000
constexpr int TRACEBACK_LASTI_PER_INDEX = 1;
#else
constexpr int TRACEBACK_LASTI_PER_INDEX = 2;
#endif

// Adds to the pending exception's traceback the entry of `frame`, whose
// last instruction is `index` (in the unit of its f_lasti), on `line`: the
// entry PyTraceBack_Here(frame) adds, made from what the caller knows
// rather than read back from the frame and its code's line table, and
// without taking the exception off the thread and putting it back through
// the interpreter's calls.  Up to 3.10 the entry holds the line; from 3.11
// it holds -1, as the interpreter's do, and the line is read from the
// instruction when asked for.  A traceback that is not one, or an entry
// that cannot be allocated, is left to PyTraceBack_Here, which answers it
// as the interpreter does.
void add_traceback_entry(PyThreadState* tstate, PyFrameObject* frame, int index, int line) noexcept;

// The same entry for an exception already taken off the thread, whose
// traceback head (owned, possibly null) is `head`: the entry becomes the
// head, holding the old one.  False, with `head` and the thread's error
// state as they were, when `head` is not a traceback or the entry could
// not be allocated: the caller then leaves it to the interpreter.
bool prepend_traceback_entry(PyObject*& head, PyFrameObject* frame, int index, int line) noexcept;

}  // namespace smsline

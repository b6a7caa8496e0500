// Frame fields whose meaning changed between interpreter versions: the instruction index and the running state.
#pragma once

#include "runtime/python.h"

namespace smsline {

// Our code objects give line L the instruction at byte offset
// 2 * (L - first line) (see make_code).  A frame's f_lasti names that
// instruction in bytes up to 3.9 and in 2-byte code units from 3.10
// (PEP 626), so the f_lasti of line L is LASTI_PER_LINE * (L - first line).
#if PY_VERSION_HEX < 0x030A0000
constexpr int LASTI_PER_LINE = 2;
#else
constexpr int LASTI_PER_LINE = 1;
#endif

// The f_lasti that makes a frame of `code` report `line`.
inline int lasti_for_line(const PyCodeObject* code, int line) noexcept {
  return LASTI_PER_LINE * (line - code->co_firstlineno);
}

// The line table of a code object whose lines first_line..last_line sit
// one instruction (2 bytes) apart, in this interpreter's format: co_lnotab
// pairs (+2 bytes, +1 line) after the first line up to 3.9; from 3.10
// co_linetable entries (2 bytes, line delta) covering every instruction,
// the first at the first line.  New bytes object, or null with an exception set.
PyObject* make_line_table(int first_line, int last_line) noexcept;

// Where a function that returns from inside try/finally stands once the
// finally block has run: still on the finally block's last line up to 3.7
// and from 3.10, but back on the return statement's line in 3.8 and 3.9,
// whose compilers give the returning instruction that line (a trace
// function sees the line again, and the return event is sent there).
constexpr bool RETURN_LINE_AFTER_FINALLY = PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x030A0000;

// Marks the frame running (what frame.clear() and the generator machinery
// look at) or no longer running: f_executing up to 3.9, f_state from 3.10.
inline void set_frame_running(PyFrameObject* frame, bool running) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  frame->f_executing = running ? 1 : 0;
#else
  frame->f_state = running ? FRAME_EXECUTING : FRAME_RETURNED;
#endif
}

}  // namespace smsline

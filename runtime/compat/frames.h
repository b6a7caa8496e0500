// Frame fields whose meaning changed between interpreter versions: the instruction index, the running state, the local slots.
#pragma once

#include "runtime/python.h"

#if PY_VERSION_HEX >= 0x030B0000
// From 3.11 a frame object is a wrapper around the interpreter's own frame
// record, whose layout only the interpreter's internal headers describe:
// frame_layout.c reads it.
extern "C" {
PyObject** smsline_frame_slots(PyFrameObject* frame);
void smsline_frame_set_line(PyFrameObject* frame, int line);
}
#endif

namespace smsline {

// Whether our frames stay out of the thread's frame stack while they run.
// Up to 3.10 a frame of ours is the thread's current frame, with its line,
// locals and trace events, like a plain function's.  From 3.11 the
// interpreter keeps its running frames in a stack of its own records; ours
// are made for the traceback only: a frame holds the locals, and gets its
// line and its traceback entry when an exception passes through it.
constexpr bool FRAMES_DETACHED = PY_VERSION_HEX >= 0x030B0000;

#if PY_VERSION_HEX < 0x030B0000
// The frame's local slots, in the order of its code object's variable names.
inline PyObject** frame_slots(PyFrameObject* frame) noexcept { return frame->f_localsplus; }
// The index of the last instruction run, and the line a trace function reads.
inline void set_frame_lasti(PyFrameObject* frame, int lasti) noexcept { frame->f_lasti = lasti; }
inline void set_frame_lineno(PyFrameObject* frame, int line) noexcept { frame->f_lineno = line; }
#else
inline PyObject** frame_slots(PyFrameObject* frame) noexcept { return smsline_frame_slots(frame); }
// A frame that is not running has no line until an exception passes
// through it (then smsline_frame_set_line gives it one).
inline void set_frame_lasti(PyFrameObject*, int) noexcept {}
inline void set_frame_lineno(PyFrameObject*, int) noexcept {}
#endif

// Our code objects give line L the instruction at byte offset
// 2 * (L - first line) (see make_code).  A frame's f_lasti names that
// instruction in bytes up to 3.9 and in 2-byte code units from 3.10
// (PEP 626), so the f_lasti of line L is LASTI_PER_LINE * (L - first line).
#if PY_VERSION_HEX < 0x030A0000
constexpr int LASTI_PER_LINE = 2;
#else
constexpr int LASTI_PER_LINE = 1;
#endif

#if PY_VERSION_HEX < 0x030B0000
// The f_lasti that makes a frame of `code` report `line`.
inline int lasti_for_line(const PyCodeObject* code, int line) noexcept {
  return LASTI_PER_LINE * (line - code->co_firstlineno);
}
#endif

// The line table of a code object whose lines first_line..last_line sit
// one instruction (2 bytes) apart, in this interpreter's format: co_lnotab
// pairs (+2 bytes, +1 line) after the first line up to 3.9; in 3.10
// co_linetable entries (2 bytes, line delta) covering every instruction,
// the first at the first line; from 3.11 location entries of one code unit
// each, with a line and no columns.  New bytes object, or null with an
// exception set.
PyObject* make_line_table(int first_line, int last_line) noexcept;

// Where a function that returns from inside try/finally stands once the
// finally block has run: still on the finally block's last line up to 3.7
// and from 3.10, but back on the return statement's line in 3.8 and 3.9,
// whose compilers give the returning instruction that line (a trace
// function sees the line again, and the return event is sent there).
constexpr bool RETURN_LINE_AFTER_FINALLY = PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x030A0000;

#if PY_VERSION_HEX < 0x030B0000
// Marks the frame running (what frame.clear() and the generator machinery
// look at) or no longer running: f_executing up to 3.9, f_state in 3.10.
inline void set_frame_running(PyFrameObject* frame, bool running) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  frame->f_executing = running ? 1 : 0;
#else
  frame->f_state = running ? FRAME_EXECUTING : FRAME_RETURNED;
#endif
}
#endif

// The interpreter's text for a local read before it is bound.
#if PY_VERSION_HEX < 0x030B0000
constexpr const char UNBOUND_LOCAL_FORMAT[] = "local variable '%.200U' referenced before assignment";
#else
constexpr const char UNBOUND_LOCAL_FORMAT[] = "cannot access local variable '%.200U' where it is not associated with a value";
#endif

}  // namespace smsline

// Frame fields whose meaning changed between interpreter versions: the instruction index, the running state, the local slots.
#pragma once

#include "runtime/python.h"

#if PY_VERSION_HEX >= 0x030B0000
#include "runtime/compat/frame_layout.h"
#endif

namespace smsline {

#if PY_VERSION_HEX < 0x030B0000
// The frame's local slots, in the order of its code object's variable names.
inline PyObject** frame_slots(PyFrameObject* frame) noexcept { return frame->f_localsplus; }
// The index of the last instruction run, and the line a trace function reads.
inline void set_frame_lasti(PyFrameObject* frame, int lasti) noexcept { frame->f_lasti = lasti; }
inline void set_frame_lineno(PyFrameObject* frame, int line) noexcept { frame->f_lineno = line; }
#else
// From 3.11 a frame object wraps the interpreter's record of the frame
// (frame_layout.h): the slots are the record's, and the current line is
// read from the record's instruction pointer only (f_lineno stays 0).
inline PyObject** frame_slots(PyFrameObject* frame) noexcept { return smsline_frame_slots(frame); }
inline void set_frame_lasti(PyFrameObject* frame, int lasti) noexcept { smsline_frame_set_instruction(frame, lasti); }
inline void set_frame_lineno(PyFrameObject*, int) noexcept {}
#endif

// Whether our frames run in the thread's frame stack, seen by everything
// that walks it.  Up to 3.10 they always do.  From 3.11 they do when the
// interpreter's frame records are laid out as this build expects, which
// choose_frame_route() checks once, at start-up, before any frame of ours
// runs; otherwise a frame of ours is made for the traceback only: it holds
// the call's locals, and gets its line and its traceback entry when an
// exception passes through it, but nothing sees it while it runs.
#if PY_VERSION_HEX < 0x030B0000
constexpr bool frames_in_thread_stack() noexcept { return true; }
inline bool choose_frame_route() noexcept { return true; }
#else
// Set by choose_frame_route(), once per process; false before.
extern bool frames_run_in_thread_stack;
inline bool frames_in_thread_stack() noexcept { return frames_run_in_thread_stack; }
// Start-up duty: decides the route (see frame_route.cpp).  False only when
// the warning that the frames will not be seen was turned into an error by
// the warning filters (that error is then set).
bool choose_frame_route() noexcept;
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
// From 3.11 the lines after the first and before `body_line` (a
// docstring's) have no instruction of their own: the instructions there
// carry `body_line` (what debuggers take for the first line that runs).
PyObject* make_line_table(int first_line, int last_line, int body_line) noexcept;

// Whether our code objects end with one instruction more, of no line: from
// 3.12 the place of the compiler's exception-handling code, which has no
// line of its own (monitoring tools are told of a caught exception and of
// the re-raise at a frame's exit there).
constexpr bool CLEANUP_INSTRUCTION = PY_VERSION_HEX >= 0x030C0000;

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

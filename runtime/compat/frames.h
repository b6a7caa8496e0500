// A frame's life on each interpreter version: readying, linking and unlinking, slots, current line, line tables.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/python.h"

#if PY_VERSION_HEX >= 0x030B0000
#include "runtime/compat/frame_layout.h"
#endif

namespace smsline {

// The steps of a frame's life that differ between versions: readying it
// for a call, linking it into the thread's frame stack and out again, its
// local slots and current instruction, what a trace function reads.  Up to
// 3.10 a frame object is the interpreter's frame and everything is a field
// of it; from 3.11 a frame object wraps the interpreter's record of the
// frame (frame_layout.h), which only the C file behind these functions
// reads.

#if PY_VERSION_HEX < 0x030B0000
// The frame's local slots, in the order of its code object's variable names.
inline PyObject** frame_slots(PyFrameObject* frame) noexcept { return frame->f_localsplus; }
// The code object the frame runs (borrowed: the frame holds it).
inline PyCodeObject* frame_code(PyFrameObject* frame) noexcept { return frame->f_code; }
// Where a running frame's current instruction is written: the frame itself.
struct InstructionPlace {
  PyFrameObject* frame = nullptr;
};
inline InstructionPlace instruction_place(PyFrameObject* frame, int /*lasti_base*/) noexcept {
  return InstructionPlace{frame};
}
// The index of the last instruction run.
inline void set_frame_lasti(const InstructionPlace& place, int lasti) noexcept { place.frame->f_lasti = lasti; }
// The frame stands on `line`, at instruction `lasti`: both, and the line a
// trace function reads.
inline void set_frame_line(const InstructionPlace& place, int line, int lasti) noexcept {
  place.frame->f_lasti = lasti;
  place.frame->f_lineno = line;
}
// Whether the frame has a back link of its own: while it runs, or once it
// was handed over to its holders with its caller.
inline bool frame_has_back(PyFrameObject* frame) noexcept { return frame->f_back != nullptr; }
#else
// From 3.11 the slots are the record's, and the current line is read from
// the record's instruction pointer only (f_lineno stays 0).
inline PyObject** frame_slots(PyFrameObject* frame) noexcept { return smsline_frame_slots(frame); }
inline PyCodeObject* frame_code(PyFrameObject* frame) noexcept { return smsline_frame_code(frame); }
// Where a running frame's current instruction is written: the record's
// instruction pointer, found once per call with the address that line 0
// would have (our code objects give line L the instruction at 2 * (L -
// first line) bytes), so that a line mark is one store.  The frame's
// f_lineno, which would override the instruction's line, is 0 from the
// frame's readying on: the trace and monitoring windows that set it put it
// back, and the stand-in of a frame's exit events is followed by no mark.
struct InstructionPlace {
  void* pointer = nullptr;        // the record's instruction pointer
  char* code = nullptr;           // the first instruction
  std::uintptr_t line_zero = 0;   // where line 0's instruction would be
};
inline InstructionPlace instruction_place(PyFrameObject* frame, int lasti_base) noexcept {
  InstructionPlace place;
  smsline_frame_instruction_place(frame, &place.pointer, &place.code);
  place.line_zero = reinterpret_cast<std::uintptr_t>(place.code) - 2 * static_cast<std::uintptr_t>(lasti_base);
  return place;
}
// The instruction pointer's value is stored by copying its bytes (its type
// is the interpreter's internal instruction type).
inline void set_frame_lasti(const InstructionPlace& place, int index) noexcept {
  char* const instruction = place.code + 2 * index;
  std::memcpy(place.pointer, &instruction, sizeof instruction);
}
inline void set_frame_line(const InstructionPlace& place, int line, int /*lasti*/) noexcept {
  char* const instruction = reinterpret_cast<char*>(place.line_zero + 2 * static_cast<std::uintptr_t>(line));
  std::memcpy(place.pointer, &instruction, sizeof instruction);
}
inline bool frame_has_back(PyFrameObject* frame) noexcept { return smsline_frame_has_back(frame) != 0; }
#endif

// A new frame object for a call of `code` in `globals`: PyFrame_New's.
// From 3.11 PyFrame_New makes a function object for every frame (the
// interpreter's record of a frame names its function); there `function`
// keeps one for the code, made here at the first frame (a new reference
// for the caller to keep) and given to every later frame.  Null with an
// exception set.
inline PyFrameObject* new_frame(PyThreadState* tstate, PyCodeObject* code, PyObject* globals,
                                [[maybe_unused]] PyObject*& function) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  return PyFrame_New(tstate, code, globals, nullptr);
#else
  (void)tstate;
  if (function == nullptr || PyFunction_GET_GLOBALS(function) != globals) {
    PyObject* const made = PyFunction_New(reinterpret_cast<PyObject*>(code), globals);
    if (made == nullptr) return nullptr;
    PyObject* const old = function;
    function = made;
    Py_XDECREF(old);
  }
  return smsline_frame_new(code, function);
#endif
}

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

// Readies `frame` for a call of its code: no instruction run yet, every
// local slot counted as a local again (frame.clear() may have emptied the
// frame), and the trace function that an earlier call left on it taken off
// and returned (a new reference, or null) for the caller to release once
// the frame is in use: each call starts without one, as a new frame would.
inline PyObject* ready_frame(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  frame->f_lasti = -1;
  frame->f_lineno = frame->f_code->co_firstlineno;
  PyObject* const trace = frame->f_trace;
  frame->f_trace = nullptr;
  return trace;
#else
  return smsline_frame_prepare(frame);
#endif
}

#if PY_VERSION_HEX < 0x030B0000
// Marks the frame running (what frame.clear() and the generator machinery
// look at) or finished: f_executing up to 3.9, f_state in 3.10.
inline void mark_frame_running(PyFrameObject* frame, bool running) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  frame->f_executing = running ? 1 : 0;
#else
  frame->f_state = running ? FRAME_EXECUTING : FRAME_RETURNED;
#endif
}
#endif

// Makes `frame` the thread's running frame, above its current one, marked
// as running.  (From 3.11, only where our frames run in the thread's frame
// stack.)
inline void link_frame(PyThreadState* tstate, PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  if (frame->f_back == nullptr) {  // PyFrame_New links a new frame itself
    Py_XINCREF(tstate->frame);
    frame->f_back = tstate->frame;
  }
  mark_frame_running(frame, true);
  tstate->frame = frame;
#else
  if (frames_in_thread_stack()) smsline_frame_link(tstate, frame);
#endif
}

// Takes `frame`, the thread's current frame, off the thread's frame stack
// and marks it finished.  With `held` (something besides the call and its
// slot still holds it) it keeps its caller as f_back, as a finished frame of
// the interpreter's does; otherwise its back link goes, and the caller's
// frame it held is returned (a reference for the caller to release last),
// or null.
inline PyObject* unlink_frame(PyThreadState* tstate, PyFrameObject* frame, bool held) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  tstate->frame = frame->f_back;
  mark_frame_running(frame, false);
  if (held) return nullptr;
  PyObject* const back = reinterpret_cast<PyObject*>(frame->f_back);
  frame->f_back = nullptr;
  return back;
#else
  if (frames_in_thread_stack()) smsline_frame_unlink(tstate, frame, held ? 1 : 0);
  return nullptr;
#endif
}

// Most dictionaries a frame keeps for the readers of its locals.
constexpr int max_locals_dicts = 2;

// Takes from a function's frame the dictionaries that readers of its locals
// made (f_locals up to 3.12; from 3.13 the extra names set through f_locals
// and the snapshot PyEval_GetLocals gives): stores them in `dicts` (up to
// max_locals_dicts references, for the caller to release) and returns their
// number.  A reader that kept one keeps what it saw; the next reader of the
// frame gets a new one.
inline int take_locals_dicts(PyFrameObject* frame, PyObject** dicts) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  if (frame->f_locals == nullptr || !(frame->f_code->co_flags & CO_OPTIMIZED)) return 0;
  dicts[0] = frame->f_locals;
  frame->f_locals = nullptr;
  return 1;
#else
  return smsline_frame_take_locals_dicts(frame, dicts);
#endif
}

// Whether a trace function gets line events in this frame: f_trace_lines
// from 3.7 (a debugger may turn them off per frame), always on 3.6.
inline bool frame_traces_lines(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX < 0x03070000
  (void)frame;
  return true;
#elif PY_VERSION_HEX < 0x030B0000
  return frame->f_trace_lines != 0;
#else
  return smsline_frame_traces_lines(frame) != 0;
#endif
}

// While a trace or profile function runs for the frame, the frame's
// f_lineno is its current line: from 3.11 the interpreter sets it for the
// call and clears it afterwards (the line is read from the instruction
// pointer otherwise); up to 3.10 our frames keep it current anyway.
inline void show_line_to_trace_function(PyFrameObject* frame, bool shown) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  (void)frame;
  (void)shown;
#else
  smsline_frame_show_line(frame, shown ? 1 : 0);
#endif
}

// Our code objects give line L the instruction at byte offset
// 2 * (L - first line) (see make_code).  A frame's f_lasti names that
// instruction in bytes up to 3.9 and in 2-byte code units from 3.10
// (PEP 626), so the f_lasti of line L is LASTI_PER_LINE * (L - first line).
#if PY_VERSION_HEX < 0x030A0000
constexpr int LASTI_PER_LINE = 2;
#else
constexpr int LASTI_PER_LINE = 1;
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

// The interpreter's text for a local read before it is bound.
#if PY_VERSION_HEX < 0x030B0000
constexpr const char UNBOUND_LOCAL_FORMAT[] = "local variable '%.200U' referenced before assignment";
#else
constexpr const char UNBOUND_LOCAL_FORMAT[] = "cannot access local variable '%.200U' where it is not associated with a value";
#endif

}  // namespace smsline

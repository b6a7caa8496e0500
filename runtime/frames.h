// Interpreter frames for our module bodies and functions: entry, lines, locals, events, exits.
#pragma once

#include <cstddef>

#include "runtime/code_objects.h"
#include "runtime/compat/frames.h"
#include "runtime/python.h"
#include "runtime/ref.h"
#include "runtime/tracing.h"

// The bodies mark lines and touch locals at every statement: these stay in
// the body even where the compiler would rather call them.
#define SMSLINE_INLINE inline __attribute__((always_inline))

namespace smsline {

// One function's reusable frame.  Process-wide; filled at the function's
// first call, emptied when a call ends while something else still holds its
// frame (a traceback, a reader of the running frames): that frame is theirs
// from then on, and the next call makes a fresh one.  Owns one reference to
// the frame it holds.
struct FrameSlot {
  PyFrameObject* frame = nullptr;
  // From 3.11 the function object every frame of the slot names (see
  // new_frame): made with the first frame, kept for the process.
  PyObject* function = nullptr;

  // Puts a fresh frame for `code` in the slot and returns it with the
  // call's reference.  The old frame is released last, when the new one is
  // in the slot and in use (its release can run code that calls the
  // function again).  Null with an exception set.
  PyFrameObject* renew(PyThreadState* tstate, PyCodeObject* code, PyObject* globals) noexcept {
    PyFrameObject* const fresh = new_frame(tstate, code, globals, function);
    if (fresh == nullptr) return nullptr;
    Py_INCREF(fresh);
    PyFrameObject* const old = frame;
    frame = fresh;
    Py_XDECREF(old);
    return fresh;
  }
};

// A frame while it is the thread's current frame.  Entered by one of the
// enter functions, left by leave() (normal exit) or fail() (failure exit).
//
// The function's locals live in the frame's local slots, in the order of the
// code object's variable names, as a plain function's do: the body binds
// them as it goes, so every reader of f_locals sees the current values, a
// traceback keeps them with the frame, and frame.clear() releases them.  A
// trace function may rebind or delete them between statements (a debugger's
// `!modem = ...`), so the body reads a local back from its slot at each use.
//
// When a trace or profile function is set, the frame sends the events the
// interpreter sends for a plain function: call, line (trace only), exception
// and return.  Otherwise each marking costs one test of the thread state.
//
// When the call ends, a frame that nothing else holds keeps nothing of it:
// its locals and the dictionaries readers made of them are released, and it
// waits in its slot for the next call.  A frame that something still holds
// (a traceback, a reader of sys._getframe, inspect.stack's records) is
// theirs, as an interpreted frame would be: it keeps its locals and its
// caller, and leaves the slot.
class ActiveFrame {
 public:
  ActiveFrame() noexcept = default;
  ActiveFrame(const ActiveFrame&) = delete;
  ActiveFrame& operator=(const ActiveFrame&) = delete;
  // A frame still current here was abandoned by a path that neither left
  // nor failed: popped without events.
  ~ActiveFrame() { pop(); }

  // Function frame entry: reuses the slot's frame when nothing else holds it
  // and it has no caller of its own, otherwise makes a new one and stores it
  // in the slot.  The first code->co_argcount locals are bound to
  // `args`.  Sends the call event.  False with an exception set on failure
  // (then the frame is already left, and no traceback entry is added).
  bool enter_cached(FrameSlot& slot, PyCodeObject* code, PyObject* globals, PyObject* const* args = nullptr) noexcept;
  // A fresh frame, not cached: for module bodies, which run once.
  bool enter_new(PyCodeObject* code, PyObject* globals) noexcept;

  PyFrameObject* frame() const noexcept { return frame_; }
  // The state of the thread the frame runs on (set at entry).
  PyThreadState* thread_state() const noexcept { return tstate_; }

  // Line marking before a statement.  When a trace function is set and the
  // line differs from the last one marked, it gets the line event.  False
  // with an exception set when the trace function raised: a failure of the
  // statement at `line`.
  [[nodiscard]] SMSLINE_INLINE bool mark(int line) noexcept {
    set_line(line);
    return !line_tracing_wanted(tstate_) || line_event(line, false);
  }
  // The next pass of a loop whose body is on the loop's own line: the
  // interpreter's jump back to the loop head gives a line event even though
  // the line has not changed.
  [[nodiscard]] SMSLINE_INLINE bool mark_loop_pass(int line) noexcept {
    set_line(line);
    return !line_tracing_wanted(tstate_) || line_event(line, true);
  }
  // A statement that runs no code of others (a name binding, `try:`,
  // `except`, a comparison with None): only a trace or profile function
  // sees it, so the line is marked only then (with the line event for a
  // trace function).
  [[nodiscard]] SMSLINE_INLINE bool mark_for_tracing(int line) noexcept {
    if (!tracing_wanted(tstate_)) return true;
    set_line(line);
    return !line_tracing_wanted(tstate_) || line_event(line, false);
  }
  // The interpreter reaches `line` by a jump into its middle (the re-raise
  // after an except clause that did not match): no line event, and a trace
  // function keeps seeing the line it saw last, while a profiler, which
  // reads the line from f_lasti, sees `line`.  Only a hook can tell.
  void jump_into_line(int line) const noexcept {
    if (RERAISE_FROM_CLAUSE_END && tracing_wanted(tstate_)) {
      set_frame_lasti(place_, index_of(line));
    }
  }

  // The local at `index` (new reference), or UnboundLocalError as the
  // interpreter raises it when the slot is empty.
  SMSLINE_INLINE Ref load(int index) const noexcept {
    PyObject* const value = frame_slots(frame_)[index];
    if (__builtin_expect(value == nullptr, 0)) return unbound(index);
    return Ref::borrow(value);
  }
  // Whether the local at `index` is `value` (identity; nothing is held).
  bool holds(int index, const PyObject* value) const noexcept { return frame_slots(frame_)[index] == value; }
  // Binds the local at `index`; the value bound before is released last.
  SMSLINE_INLINE void bind(int index, Ref value) noexcept {
    PyObject** const slot = &frame_slots(frame_)[index];
    PyObject* const old = *slot;
    *slot = value.release();
    Py_XDECREF(old);
  }
  void bind(int index, PyObject* value) noexcept { bind(index, Ref::borrow(value)); }

  // The pending exception has just reached this frame at `line`: unless its
  // traceback's head entry already belongs to this frame (it passed through
  // here before and is raised again), adds the entry and sends the
  // exception event.
  void raised(int line) noexcept;
  // raised(line) while no trace, profile or monitoring tool listens, for
  // an exception that a handler of this frame has taken off the thread,
  // whose traceback head is `head`: the entry is added there (no event is
  // sent, none being wanted).  False when it could not be (see
  // prepend_traceback_entry), with nothing changed but the frame's line.
  bool raised_taken(PyObject*& head, int line) noexcept;

  // Normal exit with `result` (borrowed): sends the return event and pops
  // the frame.  False with an exception set when a trace or profile
  // function raised on the return: the call then fails.
  [[nodiscard]] bool leave(PyObject* result) noexcept;

  // Failure exit for an exception that is pending: raised(line), the return
  // event, then pops the frame (which the traceback now holds, with its
  // locals) and leaves the exception pending.  Returns null for the caller
  // to return.  Kept out of line whole: the compiler would otherwise put
  // its first test at each of the bodies' many failure exits, and the
  // bodies' loops came out with more spills (0.3 to 0.9 % on the port scans
  // of 3.9 and 3.10).
  __attribute__((noinline)) std::nullptr_t fail(int line) noexcept;

 private:
  void push(PyFrameObject* frame) noexcept;
  bool start(PyObject* const* args, int count) noexcept;
  SMSLINE_INLINE void set_line(int line) const noexcept {
    set_frame_line(place_, line, index_of(line));
  }
  // The frame's last instruction (in the unit of its f_lasti) while it stands on `line`.
  int index_of(int line) const noexcept { return LASTI_PER_LINE * line - lasti_base_; }
  // The line event, out of the bodies' way: it runs only under a trace function.
  __attribute__((noinline, cold)) bool line_event(int line, bool loop_pass) noexcept;
  __attribute__((noinline, cold)) Ref unbound(int index) const noexcept;
  // Adds this frame's traceback entry, at `line` (where the frame stands),
  // to the pending exception and sends the exception event.
  void record_exception(int line) noexcept;
  // Takes the frame off the thread's frame stack and releases the call's
  // hold: a frame nobody else holds stays in its slot with nothing of the
  // call, a held one is handed over (see the class comment).
  void pop() noexcept;

  PyFrameObject* frame_ = nullptr;  // owned for the duration of the call
  InstructionPlace place_;          // where frame_'s current instruction is written
  PyThreadState* tstate_ = nullptr;
  FrameSlot* slot_ = nullptr;
  int lasti_base_ = 0;         // LASTI_PER_LINE * co_firstlineno of the frame's code
  int last_traced_line_ = -1;  // the line of the last line event, to send one per line
};

}  // namespace smsline

// Interpreter frames for our module bodies and functions: entry, line marking, exits.
#pragma once

#include <cstddef>

#include "runtime/code_objects.h"
#include "runtime/python.h"

namespace smsline {

// One function's reusable frame.  Process-wide; filled at the function's
// first call, emptied when a failed call hands the frame to a traceback.
// Owns one reference to the frame it holds.
struct FrameSlot {
  PyFrameObject* frame = nullptr;
};

// Sets the frame's current line so that every reader sees it: f_lasti (read
// through the code object's line table) and f_lineno (read while a trace
// function is set).  Inline: the bodies mark a line before every statement.
inline void mark_line(PyFrameObject* frame, int line) noexcept {
  frame->f_lasti = offset_for_line(frame->f_code, line);
  frame->f_lineno = line;
}

// Puts a traceback entry for `frame` at `line` at the head of the pending
// exception's traceback, unless the head entry already belongs to `frame`.
void add_traceback_entry(PyFrameObject* frame, int line) noexcept;

// A frame while it is the thread's current frame.  Entered by one of the
// enter functions, left by leave() (normal exit) or fail() (failure exit);
// the destructor leaves a frame that is still current.
class ActiveFrame {
 public:
  ActiveFrame() noexcept = default;
  ActiveFrame(const ActiveFrame&) = delete;
  ActiveFrame& operator=(const ActiveFrame&) = delete;
  ~ActiveFrame() { leave(); }

  // Function frame entry: reuses the slot's frame when nothing else holds it
  // and it is linked into no frame stack, otherwise makes a new one and
  // stores it in the slot.  False with an exception set on failure.
  bool enter_cached(FrameSlot& slot, PyCodeObject* code, PyObject* globals) noexcept;
  // A fresh frame, not cached: for module bodies, which run once.
  bool enter_new(PyCodeObject* code, PyObject* globals) noexcept;

  PyFrameObject* frame() const noexcept { return frame_; }
  // mark_line(frame(), line), with the code object's first line kept at entry.
  void mark(int line) const noexcept {
    frame_->f_lasti = 2 * line - twice_first_line_;
    frame_->f_lineno = line;
  }

  // Normal exit: pops the frame; it stays in its slot for the next call.
  void leave() noexcept;

  // Failure exit for an exception that is pending: adds the traceback entry
  // for `line` (unless the head entry is already ours), records `locals`
  // (values in the order of the code object's variable names, null for
  // unbound ones) in the frame, gives the frame up to the traceback, pops it
  // and leaves the exception pending.  Returns null for the caller to return.
  std::nullptr_t fail(int line, PyObject* const* locals = nullptr, std::size_t count = 0) noexcept;

 private:
  void push(PyFrameObject* frame) noexcept;

  PyFrameObject* frame_ = nullptr;  // owned for the duration of the call
  PyThreadState* tstate_ = nullptr;
  FrameSlot* slot_ = nullptr;
  int twice_first_line_ = 0;  // 2 * co_firstlineno of the frame's code (see offset_for_line)
};

}  // namespace smsline

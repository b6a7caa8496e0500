// Frames made for the traceback (3.11 and later): entry, local slots, traceback entries, and the two exits.
//
// From 3.11 the interpreter's running frames are records in a stack of its
// own (see FRAMES_DETACHED).  A frame of ours is a frame object that is
// never linked into that stack: it holds the call's locals in its slots,
// and when an exception passes through it, it takes the line the exception
// left and becomes the exception's traceback entry, so a traceback shows
// the function's name, line and locals as it does for a plain function.
// While the call runs, readers of the thread's frames do not see it, and no
// trace or profile events are sent.
#include "runtime/code_objects.h"
#include "runtime/compat/thread_state.h"
#include "runtime/frames.h"

namespace smsline {

namespace {

bool head_entry_is(PyFrameObject* frame, PyThreadState* tstate) noexcept {
  PyObject* head = pending_traceback(tstate);
  return head != nullptr && PyTraceBack_Check(head) && reinterpret_cast<PyTracebackObject*>(head)->tb_frame == frame;
}

}  // namespace

void ActiveFrame::push(PyFrameObject* frame) noexcept {
  tstate_ = current_thread_state();
  frame_ = frame;  // the caller handed us one reference
}

bool ActiveFrame::start(PyObject* const* args, int count) noexcept {
  PyObject** const slots = frame_slots(frame_);
  for (int i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    slots[i] = args[i];
  }
  return true;
}

bool ActiveFrame::enter_cached(FrameSlot& slot, PyCodeObject* code, PyObject* globals,
                               PyObject* const* args) noexcept {
  PyFrameObject* frame = slot.frame;
  if (frame != nullptr && Py_REFCNT(frame) == 1) {
    Py_INCREF(frame);
  } else {
    frame = slot.renew(current_thread_state(), code, globals);
    if (frame == nullptr) return false;
  }
  slot_ = &slot;
  push(frame);
  return start(args, args != nullptr ? code->co_argcount : 0);
}

bool ActiveFrame::enter_new(PyCodeObject* code, PyObject* globals) noexcept {
  PyFrameObject* frame = PyFrame_New(current_thread_state(), code, globals, nullptr);
  if (frame == nullptr) return false;
  slot_ = nullptr;
  push(frame);
  return start(nullptr, 0);
}

bool ActiveFrame::line_event(bool) noexcept { return true; }

Ref ActiveFrame::unbound(int index) const noexcept {
  PyCodeObject* const code = PyFrame_GetCode(frame_);
  PyErr_Format(PyExc_UnboundLocalError, UNBOUND_LOCAL_FORMAT, PyTuple_GET_ITEM(code_varnames(code), index));
  Py_DECREF(code);  // the frame holds it
  return Ref();
}

void ActiveFrame::raised(int line) noexcept {
  if (head_entry_is(frame_, tstate_)) return;
  smsline_frame_set_line(frame_, line);
  record_exception();
}

void ActiveFrame::record_exception() noexcept { PyTraceBack_Here(frame_); }

bool ActiveFrame::leave(PyObject*) noexcept {
  pop();
  return true;
}

std::nullptr_t ActiveFrame::fail(int line) noexcept {
  if (frame_ == nullptr) return nullptr;
  raised(line);
  if (slot_ != nullptr) slot_->hand_to_traceback(frame_);
  pop(false);
  return nullptr;
}

void ActiveFrame::pop(bool release_locals) noexcept {
  PyFrameObject* const frame = frame_;
  if (frame == nullptr) return;
  frame_ = nullptr;

  // Everything the frame lets go of is released after its bookkeeping is
  // done: a release can run code that calls the function again.
  PyObject* locals[max_frame_locals];
  int count = 0;
  if (release_locals) {
    PyCodeObject* const code = PyFrame_GetCode(frame);
    const int nlocals = code->co_nlocals;
    Py_DECREF(code);  // the frame holds it
    PyObject** const slots = frame_slots(frame);
    for (int i = 0; i < nlocals && i < max_frame_locals; ++i) {
      if (slots[i] != nullptr) {
        locals[count++] = slots[i];
        slots[i] = nullptr;
      }
    }
  }
  Py_DECREF(frame);
  for (int i = 0; i < count; ++i) Py_DECREF(locals[i]);
}

}  // namespace smsline

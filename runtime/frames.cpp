// Frame entry, line marking and events, local slots, traceback entries, and the two exits.
#include "runtime/frames.h"

#include "runtime/code_objects.h"

namespace smsline {

namespace {

// Sets the frame's current line so that every reader sees it: f_lasti (read
// through the code object's line table) and f_lineno (read while a trace
// function is set).
void mark_line(PyFrameObject* frame, int line) noexcept {
  frame->f_lasti = lasti_for_line(frame->f_code, line);
  frame->f_lineno = line;
}

bool head_entry_is(PyFrameObject* frame, PyThreadState* tstate) noexcept {
  PyObject* head = tstate->curexc_traceback;
  return head != nullptr && PyTraceBack_Check(head) && reinterpret_cast<PyTracebackObject*>(head)->tb_frame == frame;
}

}  // namespace

void ActiveFrame::push(PyFrameObject* frame) noexcept {
  tstate_ = PyThreadState_GET();
  frame_ = frame;  // the caller handed us one reference
  if (frame->f_back == nullptr) {
    Py_XINCREF(tstate_->frame);
    frame->f_back = tstate_->frame;
  }
  frame->f_lasti = -1;
  frame->f_lineno = frame->f_code->co_firstlineno;
  lasti_base_ = LASTI_PER_LINE * frame->f_code->co_firstlineno;
  last_traced_lasti_ = -1;
  set_frame_running(frame, true);
  tstate_->frame = frame;
}

bool ActiveFrame::start(PyObject* const* args, int count) noexcept {
  PyObject** const slots = frame_->f_localsplus;
  for (int i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    slots[i] = args[i];
  }
  if (!tracing_wanted(tstate_) || send_call_event(tstate_, frame_) == 0) return true;
  // The interpreter ends a call whose call event raised at once: no
  // traceback entry of its own and no return event.  The frame keeps its
  // arguments for whoever holds it (the trampoline's traceback entry).
  if (slot_ != nullptr && slot_->frame == frame_) {
    slot_->frame = nullptr;
    Py_DECREF(frame_);  // the slot's reference
  }
  pop(false);
  return false;
}

bool ActiveFrame::enter_cached(FrameSlot& slot, PyCodeObject* code, PyObject* globals,
                               PyObject* const* args) noexcept {
  PyFrameObject* frame = slot.frame;
  const bool reusable = frame != nullptr && Py_REFCNT(frame) == 1 && frame->f_back == nullptr;
  if (reusable) {
    // The call's reference is taken first: releasing what the last call
    // left (a debugger's f_trace, below) can run code (a __del__) that calls
    // the function again, which must then see the frame in use.
    Py_INCREF(frame);
  } else {
    frame = slot.renew(PyThreadState_GET(), code, globals);
    if (frame == nullptr) return false;
  }
  slot_ = &slot;
  push(frame);
  if (reusable && frame->f_trace != nullptr) {
    // A debugger's local trace function from an earlier call belongs to
    // that call; each call starts without one, as a new frame would.
    PyObject* const old_trace = frame->f_trace;
    frame->f_trace = nullptr;
    Py_DECREF(old_trace);
  }
  return start(args, args != nullptr ? code->co_argcount : 0);
}

bool ActiveFrame::enter_new(PyCodeObject* code, PyObject* globals) noexcept {
  PyFrameObject* frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
  if (frame == nullptr) return false;
  slot_ = nullptr;
  push(frame);
  return start(nullptr, 0);
}

bool ActiveFrame::line_event(bool loop_pass) noexcept {
  const int lasti = frame_->f_lasti;
  if (lasti == last_traced_lasti_ && !loop_pass) return true;
  last_traced_lasti_ = lasti;
  if (send_line_event(tstate_, frame_) == 0) return true;
  // The interpreter treats the trace function's exception as one raised by
  // the statement: an entry of its own (the sys.settrace trampoline has
  // already added one) and the exception event, should a trace function
  // still be set.
  record_exception();
  return false;
}

Ref ActiveFrame::unbound(int index) const noexcept {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%.200U' referenced before assignment",
               PyTuple_GET_ITEM(frame_->f_code->co_varnames, index));
  return Ref();
}

void ActiveFrame::raised(int line) noexcept {
  if (head_entry_is(frame_, tstate_)) return;
  mark_line(frame_, line);
  record_exception();
}

void ActiveFrame::record_exception() noexcept {
  PyTraceBack_Here(frame_);
  if (tracing_wanted(tstate_)) send_exception_event(tstate_, frame_);
}

bool ActiveFrame::leave(PyObject* result) noexcept {
  if (tracing_wanted(tstate_) && send_return_event(tstate_, frame_, result) < 0) {
    // The return became a failure, with no traceback entry of ours (as the
    // interpreter does it); the frame is given up like a failed call's.
    if (slot_ != nullptr && slot_->frame == frame_) {
      slot_->frame = nullptr;
      Py_DECREF(frame_);
    }
    pop(false);
    return false;
  }
  pop();
  return true;
}

std::nullptr_t ActiveFrame::fail(int line) noexcept {
  if (frame_ == nullptr) return nullptr;
  raised(line);
  if (tracing_wanted(tstate_)) send_return_event(tstate_, frame_, nullptr);
  if (slot_ != nullptr) slot_->hand_to_traceback(frame_);
  pop(false);
  return nullptr;
}

void ActiveFrame::pop(bool release_locals) noexcept {
  PyFrameObject* const frame = frame_;
  if (frame == nullptr) return;
  frame_ = nullptr;
  tstate_->frame = frame->f_back;
  PyFrameObject* const back = frame->f_back;
  frame->f_back = nullptr;
  set_frame_running(frame, false);

  // Everything the frame lets go of is released after its bookkeeping is
  // done: a release can run code that calls the function again.
  PyObject* locals[max_frame_locals];
  int count = 0;
  PyObject* locals_view = nullptr;  // f_locals, when a reader made it
  const int nlocals = frame->f_code->co_nlocals;
  if (release_locals && nlocals > 0) {
    PyObject** const slots = frame->f_localsplus;
    for (int i = 0; i < nlocals && i < max_frame_locals; ++i) {
      if (slots[i] != nullptr) {
        locals[count++] = slots[i];
        slots[i] = nullptr;
      }
    }
    locals_view = frame->f_locals;
    Py_XINCREF(locals_view);
  }
  Py_XDECREF(back);
  Py_DECREF(frame);
  if (locals_view != nullptr) {
    // The dictionary that a reader of f_locals made keeps nothing of this
    // call, not even entries a debugger added; the frame keeps the (empty)
    // dictionary for the next reader.
    if (PyDict_Check(locals_view)) PyDict_Clear(locals_view);
    Py_DECREF(locals_view);
  }
  for (int i = 0; i < count; ++i) Py_DECREF(locals[i]);
}

}  // namespace smsline

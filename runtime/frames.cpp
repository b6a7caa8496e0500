// Frame entry and reuse, line marking and events, local slots, traceback entries, the two exits and the held-frame rules.
//
// A frame of ours is a frame object made by PyFrame_New for one of our code
// objects.  For the call it is linked onto the thread's frame stack as the
// interpreter links a plain function's, so everything that walks the running
// frames sees it with its current line, which the body's line marks put
// where the interpreter reads it.  The steps that differ between versions
// (fields up to 3.10, the interpreter's frame records from 3.11) are in
// runtime/compat/frames.h.
//
// From 3.11, where the start-up check found the interpreter's records laid
// out other than this build expects (frames_in_thread_stack() false), the
// frame is never linked: it is made for the traceback only.  It holds the
// call's locals, and when an exception passes through it, it takes the
// failing line and becomes the exception's traceback entry; nothing sees it
// while it runs.
#include "runtime/frames.h"

#include "runtime/code_objects.h"
#include "runtime/compat/thread_state.h"
#include "runtime/compat/traceback_entries.h"

namespace smsline {

namespace {

// Whether the traceback head `head` is an entry of `frame` (the exception
// was raised again in it).
bool entry_of(PyObject* head, PyFrameObject* frame) noexcept {
  return head != nullptr && PyTraceBack_Check(head) && reinterpret_cast<PyTracebackObject*>(head)->tb_frame == frame;
}

bool head_entry_is(PyFrameObject* frame, PyThreadState* tstate) noexcept {
  return entry_of(pending_traceback(tstate), frame);
}

}  // namespace

void ActiveFrame::push(PyFrameObject* frame) noexcept {
  tstate_ = current_thread_state();
  frame_ = frame;  // the caller handed us one reference
  place_ = instruction_place(frame, lasti_base_);
  last_traced_line_ = -1;
  link_frame(tstate_, frame);
}

bool ActiveFrame::start(PyObject* const* args, int count) noexcept {
  PyObject** const slots = frame_slots(frame_);
  for (int i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    slots[i] = args[i];
  }
  if (!tracing_wanted(tstate_) || send_call_event(tstate_, frame_) == 0) return true;
  if (CALL_EVENT_ERROR_RAISED_IN_FRAME) {
    // The exception counts as raised by the function's first instruction:
    // the failure exit on the first line.
    fail(lasti_base_ / LASTI_PER_LINE);
    return false;
  }
  // The call ends at once: no traceback entry of its own and no return
  // event.  The frame keeps its arguments for whoever holds it (the
  // trampoline's traceback entry).
  pop();
  return false;
}

bool ActiveFrame::enter_cached(FrameSlot& slot, PyCodeObject* code, PyObject* globals,
                               PyObject* const* args) noexcept {
  PyFrameObject* frame = slot.frame;
  const bool reusable = frame != nullptr && Py_REFCNT(frame) == 1 && !frame_has_back(frame);
  if (reusable) {
    // The call's reference is taken first: releasing what the last call
    // left (a debugger's f_trace, below) can run code (a __del__) that calls
    // the function again, which must then see the frame in use.
    Py_INCREF(frame);
  } else {
    frame = slot.renew(current_thread_state(), code, globals);
    if (frame == nullptr) return false;
  }
  slot_ = &slot;
  lasti_base_ = LASTI_PER_LINE * code->co_firstlineno;
  PyObject* const old_trace = ready_frame(frame);
  push(frame);
  Py_XDECREF(old_trace);
  return start(args, args != nullptr ? code->co_argcount : 0);
}

bool ActiveFrame::enter_new(PyCodeObject* code, PyObject* globals) noexcept {
  PyFrameObject* frame = PyFrame_New(current_thread_state(), code, globals, nullptr);
  if (frame == nullptr) return false;
  slot_ = nullptr;
  lasti_base_ = LASTI_PER_LINE * code->co_firstlineno;
  Py_XDECREF(ready_frame(frame));  // a fresh frame has no trace function
  push(frame);
  return start(nullptr, 0);
}

bool ActiveFrame::line_event(int line, bool loop_pass) noexcept {
  if (line == last_traced_line_ && !loop_pass) return true;
  last_traced_line_ = line;
  if ((loop_pass ? send_loop_pass_event(tstate_, frame_) : send_line_event(tstate_, frame_)) == 0) return true;
  // The interpreter treats the trace function's exception as one raised by
  // the statement: an entry of its own (the sys.settrace trampoline has
  // already added one) and the exception event, should a trace function
  // still be set.
  record_exception(line);
  return false;
}

Ref ActiveFrame::unbound(int index) const noexcept {
  PyErr_Format(PyExc_UnboundLocalError, UNBOUND_LOCAL_FORMAT,
               PyTuple_GET_ITEM(code_varnames(frame_code(frame_)), index));
  return Ref();
}

void ActiveFrame::raised(int line) noexcept {
  if (head_entry_is(frame_, tstate_)) {
    // Raised again (from 3.12 monitoring tools are told).
    if (tracing_wanted(tstate_)) send_reraise_event(tstate_, frame_);
    return;
  }
  // From 3.12 the traceback entry reads its line from the instruction
  // pointer when it is made, so the line is put there first.
  set_line(line);
  record_exception(line);
}

bool ActiveFrame::raised_taken(PyObject*& head, int line) noexcept {
  if (entry_of(head, frame_)) return true;  // raised again
  set_line(line);
  return prepend_traceback_entry(head, frame_, index_of(line), line);
}

void ActiveFrame::record_exception(int line) noexcept {
  add_traceback_entry(tstate_, frame_, index_of(line), line);
  if (tracing_wanted(tstate_)) send_exception_event(tstate_, frame_);
}

bool ActiveFrame::leave(PyObject* result) noexcept {
  if (tracing_wanted(tstate_) && send_return_event(tstate_, frame_, result) < 0) {
    // From 3.12 the exception counts as raised by the returning instruction;
    // up to 3.11 the return just became a failure, with no traceback entry
    // of ours.
    if (RETURN_EVENT_ERROR_RAISED_IN_FRAME) {
      fail(PyFrame_GetLineNumber(frame_));
    } else {
      pop();
    }
    return false;
  }
  pop();
  return true;
}

std::nullptr_t ActiveFrame::fail(int line) noexcept {
  if (frame_ == nullptr) return nullptr;
  raised(line);
  if (tracing_wanted(tstate_)) send_return_event(tstate_, frame_, nullptr);
  pop();
  return nullptr;
}

void ActiveFrame::pop() noexcept {
  PyFrameObject* const frame = frame_;
  if (frame == nullptr) return;
  frame_ = nullptr;
  bool in_slot = slot_ != nullptr && slot_->frame == frame;
  // Held by something besides the call and the slot.
  const bool held = Py_REFCNT(frame) > (in_slot ? 2 : 1);
  PyObject* const back = unlink_frame(tstate_, frame, held);
  // Giving a held frame its caller can make the caller's frame object, and
  // that allocation can run a collection whose finalisers call this
  // function again; finding the slot's frame busy, that call put a new one
  // in the slot and let go of the slot's reference to this one.
  in_slot = slot_ != nullptr && slot_->frame == frame;

  // Everything the frame lets go of is released after its bookkeeping is
  // done: a release can run code that calls the function again.
  PyObject* locals[max_frame_locals];
  int count = 0;
  PyObject* dicts[max_locals_dicts];
  int dict_count = 0;
  if (in_slot && held) {
    // Its holders have it now, with its locals and its caller.
    slot_->frame = nullptr;
    Py_DECREF(frame);  // the slot's reference: not the last
  } else if (in_slot) {
    const int nlocals = frame_code(frame)->co_nlocals;
    PyObject** const slots = frame_slots(frame);
    for (int i = 0; i < nlocals && i < max_frame_locals; ++i) {
      if (slots[i] != nullptr) {
        locals[count++] = slots[i];
        slots[i] = nullptr;
      }
    }
    dict_count = take_locals_dicts(frame, dicts);
  }
  Py_XDECREF(back);
  Py_DECREF(frame);
  for (int i = 0; i < dict_count; ++i) Py_DECREF(dicts[i]);
  for (int i = 0; i < count; ++i) Py_DECREF(locals[i]);
}

}  // namespace smsline

// Frame entry, line marking, traceback entries, and the normal and failure exits.
#include "runtime/frames.h"

#include "runtime/code_objects.h"
#include "runtime/ref.h"

namespace smsline {

void add_traceback_entry(PyFrameObject* frame, int line) noexcept {
  PyThreadState* tstate = PyThreadState_GET();
  PyObject* head = tstate->curexc_traceback;
  if (head != nullptr && PyTraceBack_Check(head) &&
      reinterpret_cast<PyTracebackObject*>(head)->tb_frame == frame) {
    return;
  }
  mark_line(frame, line);
  PyTraceBack_Here(frame);
}

void ActiveFrame::push(PyFrameObject* frame) noexcept {
  tstate_ = PyThreadState_GET();
  frame_ = frame;  // the caller handed us one reference
  if (frame->f_back == nullptr) {
    Py_XINCREF(tstate_->frame);
    frame->f_back = tstate_->frame;
  }
  frame->f_lasti = -1;
  frame->f_lineno = frame->f_code->co_firstlineno;
  twice_first_line_ = 2 * frame->f_code->co_firstlineno;
  frame->f_executing = 1;
  tstate_->frame = frame;
}

bool ActiveFrame::enter_cached(FrameSlot& slot, PyCodeObject* code, PyObject* globals) noexcept {
  PyFrameObject* frame = slot.frame;
  if (frame != nullptr && Py_REFCNT(frame) == 1 && frame->f_back == nullptr) {
    // The call's reference is taken first: releasing the old locals can run
    // code (a value's __del__) that calls the function again, which must
    // then see the frame in use.
    Py_INCREF(frame);
    // A stale locals view (someone read f_locals during an earlier call)
    // would show values of that call.
    Py_CLEAR(frame->f_locals);
  } else {
    // PyFrame_New links the new frame above the current frame.  The old
    // frame is released last, when the new one is in the slot and in use
    // (its release can run code that calls the function again).
    frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
    if (frame == nullptr) return false;
    Py_INCREF(frame);
    PyFrameObject* old = slot.frame;
    slot.frame = frame;
    Py_XDECREF(old);
  }
  slot_ = &slot;
  push(frame);
  return true;
}

bool ActiveFrame::enter_new(PyCodeObject* code, PyObject* globals) noexcept {
  PyFrameObject* frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
  if (frame == nullptr) return false;
  slot_ = nullptr;
  push(frame);
  return true;
}

void ActiveFrame::leave() noexcept {
  PyFrameObject* frame = frame_;
  if (frame == nullptr) return;
  frame_ = nullptr;
  tstate_->frame = frame->f_back;
  PyFrameObject* back = frame->f_back;
  frame->f_back = nullptr;
  frame->f_executing = 0;
  Py_XDECREF(back);
  Py_DECREF(frame);
}

std::nullptr_t ActiveFrame::fail(int line, PyObject* const* locals, std::size_t count) noexcept {
  PyFrameObject* frame = frame_;
  if (frame == nullptr) return nullptr;
  add_traceback_entry(frame, line);

  // Record the locals as the frame's f_locals.  With no locals slots in
  // the code object, the interpreter shows this dictionary as it is.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (count > 0) {
    // Sized for all of them at once: the same dictionary as an empty one
    // filled item by item, without growing it on the first insertion.
    Ref record = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(count)));
    PyObject* names = frame->f_code->co_varnames;
    bool recorded = static_cast<bool>(record);
    for (std::size_t i = 0; recorded && i < count; ++i) {
      if (locals[i] != nullptr &&
          PyDict_SetItem(record.get(), PyTuple_GET_ITEM(names, i), locals[i]) < 0) {
        recorded = false;
      }
    }
    if (recorded) {
      Py_XSETREF(frame->f_locals, record.release());
    } else {
      PyErr_Clear();  // the failure being reported matters more than its locals
    }
  }
  if (slot_ != nullptr && slot_->frame == frame) {
    slot_->frame = nullptr;
    Py_DECREF(frame);  // the slot's reference; the traceback holds its own
  }
  leave();
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

}  // namespace smsline

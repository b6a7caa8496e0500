// Handler entry and exit around caught exceptions, and the interpreter's class matching.
#include "runtime/exception_handling.h"

#include "runtime/compat/exception_state.h"
#include "runtime/compat/thread_state.h"
#include "runtime/frames.h"

namespace smsline {

namespace {

void drop(TakenException& taken) noexcept {
  const TakenException dropped = taken;
  taken = TakenException{};
  Py_XDECREF(dropped.type);
  Py_XDECREF(dropped.value);
  Py_XDECREF(dropped.traceback);
}

}  // namespace

void ExceptionHandler::enter(ActiveFrame& frame, int line) noexcept {
  PyThreadState* const tstate = tstate_ = frame.thread_state();
  if (!tracing_wanted(tstate)) {
    // Nothing to tell: the exception is taken first and given its entry
    // off the thread, as the interpreter's PyTraceBack_Here gives it.
    take_pending_exception(tstate, caught_);
    PyObject** const head = taken_traceback_head(caught_);
    if (head == nullptr || !frame.raised_taken(*head, line)) {
      restore_pending_exception(tstate, caught_);
      frame.raised(line);
      take_pending_exception(tstate, caught_);
    }
  } else {
    frame.raised(line);
    // From 3.12 monitoring tools are told that the frame catches it (a
    // tool that raises there hands its own exception to the handler).
    if constexpr (HANDLER_EVENTS) {
      if (tracing_wanted(tstate)) send_handled_event(tstate, frame.frame());
    }
    take_pending_exception(tstate, caught_);
  }
  if constexpr (!EXCEPTIONS_MADE_WHEN_RAISED) {
    // Up to 3.11 the interpreter makes the exception's object when a
    // handler first looks at it (from 3.12 it was made when raised, and
    // making it again would ask a metaclass's __subclasscheck__ once more).
    if (!exception_already_made(caught_)) {
      PyErr_NormalizeException(&caught_.type, &caught_.value, &caught_.traceback);
    }
    if (caught_.traceback != nullptr && caught_.value != nullptr) {
      set_exception_traceback(caught_.value, caught_.traceback);
    }
  }

  // The caught exception becomes the handled one; the one it replaces is
  // set aside.  (From 3.11 the handled exception is its object alone.)
  saved_.value = caught_.value;
  Py_XINCREF(saved_.value);
  if constexpr (!HANDLED_EXCEPTION_IS_OBJECT) {
    saved_.type = caught_.type;
    saved_.traceback = caught_.traceback;
    Py_XINCREF(saved_.type);
    Py_XINCREF(saved_.traceback);
  }
  swap_handled_exception(tstate, saved_.type, saved_.value, saved_.traceback);
  active_ = true;
}

void ExceptionHandler::enter_quietly(ActiveFrame& frame, int line) noexcept {
  if (tracing_wanted(frame.thread_state())) {
    enter(frame, line);
    return;
  }
  tstate_ = frame.thread_state();
  take_pending_exception(tstate_, caught_);
  line_ = line;
  quiet_ = true;
  // An object that something else holds as well (a library that keeps its
  // last error, or raises a stored one) shows there what it is given: its
  // traceback entry is made now.
  if (caught_.value != nullptr && PyExceptionInstance_Check(caught_.value) && Py_REFCNT(caught_.value) > 1) {
    observe(frame);
  }
}

void ExceptionHandler::observe(ActiveFrame& frame) noexcept {
  if (!quiet_) return;
  quiet_ = false;
  restore_pending_exception(tstate_, caught_);
  enter(frame, line_);
}

void ExceptionHandler::reraise() noexcept { restore_pending_exception(tstate_, caught_); }

void ExceptionHandler::exit() noexcept {
  if (quiet_) {
    // Dropped unseen.
    quiet_ = false;
    drop(caught_);
    return;
  }
  if (!active_) return;
  active_ = false;
  swap_handled_exception(tstate_, saved_.type, saved_.value, saved_.traceback);
  drop(saved_);
  drop(caught_);
}

bool caught_by(PyObject* exc_type, PyObject* handler_class) noexcept {
  // PyErr_GivenExceptionMatches for a class and one exception class,
  // without its error save and restore (3.6), and for a class defined in
  // Python with PyType_IsSubtype's search of its method resolution order
  // made here (the interpreter's own classes may keep theirs per
  // interpreter from 3.12: it searches those).
  if (exc_type == handler_class) return true;
  if (!PyExceptionClass_Check(exc_type)) return false;
  PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(exc_type);
  PyObject* const mro = type->tp_mro;
  if (mro == nullptr || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(handler_class));
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(mro, i) == handler_class) return true;
  }
  return false;
}

int exception_matches(PyObject* exc_type, PyObject* classes) noexcept {
  static const char message[] = "catching classes that do not inherit from BaseException is not allowed";
  if (PyTuple_Check(classes)) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(classes); i < n; ++i) {
      if (!PyExceptionClass_Check(PyTuple_GET_ITEM(classes, i))) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
      }
    }
  } else if (!PyExceptionClass_Check(classes)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  return PyErr_GivenExceptionMatches(exc_type, classes);
}

}  // namespace smsline

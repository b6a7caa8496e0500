// Handler entry and exit around caught exceptions, and the interpreter's class matching.
#include "runtime/exception_handling.h"

#include "runtime/compat/exception_state.h"
#include "runtime/compat/thread_state.h"
#include "runtime/frames.h"

namespace smsline {

void ExceptionHandler::enter(ActiveFrame& frame, int line) noexcept {
  frame.raised(line);
  // From 3.12 monitoring tools are told that the frame catches it (a tool
  // that raises there hands its own exception to the handler).
  if constexpr (HANDLER_EVENTS) {
    PyThreadState* const listened = current_thread_state();
    if (tracing_wanted(listened)) send_handled_event(listened, frame.frame());
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);

  // The caught exception becomes the handled one; the one it replaces is set aside.
  PyThreadState* const tstate = PyThreadState_GET();
  PyObject* handled_type = type_.copy().release();
  PyObject* handled_value = value_.copy().release();
  PyObject* handled_traceback = traceback_.copy().release();
  swap_handled_exception(tstate, handled_type, handled_value, handled_traceback);
  saved_type_ = handled_type;
  saved_value_ = handled_value;
  saved_traceback_ = handled_traceback;
  active_ = true;
}

void ExceptionHandler::reraise() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void ExceptionHandler::exit() noexcept {
  if (!active_) return;
  active_ = false;
  PyThreadState* const tstate = PyThreadState_GET();
  PyObject* type = saved_type_;
  PyObject* value = saved_value_;
  PyObject* traceback = saved_traceback_;
  saved_type_ = saved_value_ = saved_traceback_ = nullptr;
  swap_handled_exception(tstate, type, value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  type_.reset();
  value_.reset();
  traceback_.reset();
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

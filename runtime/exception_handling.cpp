// Handler entry and exit around caught exceptions, and the interpreter's class matching.
#include "runtime/exception_handling.h"

#include "runtime/frames.h"

namespace smsline {

void ExceptionHandler::enter(ActiveFrame& frame, int line) noexcept {
  frame.raised(line);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);

  PyThreadState* tstate = PyThreadState_GET();
  saved_type_ = tstate->exc_type;
  saved_value_ = tstate->exc_value;
  saved_traceback_ = tstate->exc_traceback;
  tstate->exc_type = type_.copy().release();
  tstate->exc_value = value_.copy().release();
  tstate->exc_traceback = traceback_.copy().release();
  active_ = true;
}

void ExceptionHandler::reraise() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void ExceptionHandler::exit() noexcept {
  if (!active_) return;
  active_ = false;
  PyThreadState* tstate = PyThreadState_GET();
  PyObject* type = tstate->exc_type;
  PyObject* value = tstate->exc_value;
  PyObject* traceback = tstate->exc_traceback;
  tstate->exc_type = saved_type_;
  tstate->exc_value = saved_value_;
  tstate->exc_traceback = saved_traceback_;
  saved_type_ = saved_value_ = saved_traceback_ = nullptr;
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

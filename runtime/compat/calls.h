// Calling conventions that differ between interpreter versions: vector calls and result checks.
#pragma once

#include <cstddef>

#include "runtime/python.h"

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter; its declaration left the public headers in 3.13.
extern "C" PyObject* _Py_CheckFunctionResult(PyThreadState* tstate, PyObject* callable, PyObject* result,
                                              const char* where);
#endif

namespace smsline {

// The flags of a built-in function that takes (self, args, nargs, kwnames):
// METH_FASTCALL alone means that in 3.6; from 3.7 it needs METH_KEYWORDS too.
#if PY_VERSION_HEX < 0x03070000
constexpr int METH_FASTCALL_KEYWORDS = METH_FASTCALL;
#else
constexpr int METH_FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;
#endif

// Whether `object` is a built-in function (or bound built-in method) that
// the call helpers may call through its method definition or the vector
// call, judged by its exact type.  From 3.9 PyCFunction_Check accepts
// subclasses, which costs a subtype walk for every other callable (a class,
// say); the only subclass the interpreter has is the one of METH_METHOD
// functions, and the type is not subclassable from Python.  A callable
// this does not accept is still called correctly, through its type's call.
inline bool is_c_function(PyObject* object) noexcept {
#if PY_VERSION_HEX < 0x03090000
  return PyCFunction_Check(object);  // the exact type up to 3.8
#else
  return Py_IS_TYPE(object, &PyCFunction_Type) || Py_IS_TYPE(object, &PyCMethod_Type);
#endif
}

// callable(*args[:count], **kwargs) through the interpreter's vector call
// (_PyObject_FastCallDict in 3.6 and 3.7; from 3.8 the vectorcall protocol,
// with its keyword-dictionary form when there are keywords).  New
// reference, or null with an exception set.
inline PyObject* vector_call(PyObject* callable, PyObject* const* args, std::size_t count,
                             PyObject* kwargs) noexcept {
#if PY_VERSION_HEX < 0x03080000
  return _PyObject_FastCallDict(callable, const_cast<PyObject**>(args), static_cast<Py_ssize_t>(count), kwargs);
#elif PY_VERSION_HEX < 0x03090000
  if (kwargs == nullptr) return _PyObject_Vectorcall(callable, args, count, nullptr);
  return _PyObject_FastCallDict(callable, args, count, kwargs);
#else
  if (kwargs == nullptr) return PyObject_Vectorcall(callable, args, count, nullptr);
  return PyObject_VectorcallDict(callable, args, count, kwargs);
#endif
}

// The interpreter's check of a call's result against the error state:
// SystemError for a result with an error set, or no result without one.
inline PyObject* check_call_result([[maybe_unused]] PyThreadState* tstate, PyObject* callable,
                                   PyObject* result) noexcept {
#if PY_VERSION_HEX < 0x03090000
  return _Py_CheckFunctionResult(callable, result, nullptr);
#else
  return _Py_CheckFunctionResult(tstate, callable, result, nullptr);
#endif
}

// From 3.9 the call machinery rejects keywords that are not str before any
// function sees them: TypeError "keywords must be strings", naming no
// function, whatever else is wrong with the call.  Returns -1 with that
// error set, else 0.  Before 3.9 nothing is checked here: the function's
// own binding reports the first such keyword, naming the function.
inline int check_keywords_before_binding([[maybe_unused]] PyObject* kwargs) noexcept {
#if PY_VERSION_HEX >= 0x03090000
  Py_ssize_t pos = 0;
  PyObject *keyword, *value;
  while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
    if (!PyUnicode_Check(keyword)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return -1;
    }
  }
#endif
  return 0;
}

}  // namespace smsline

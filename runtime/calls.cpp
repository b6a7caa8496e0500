// Global lookup and the call helpers with the interpreter's error texts.
#include "runtime/calls.h"

#include "runtime/builtins_hook.h"

namespace smsline {

Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(builtins_dict, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  return Ref::borrow(value);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) noexcept {
  const Py_ssize_t count = static_cast<Py_ssize_t>(args.size());
  // Interpreter functions and built-in functions take their arguments
  // without a tuple and check their own results.
  if (PyFunction_Check(callable) || PyCFunction_Check(callable)) {
    return Ref::steal(_PyObject_FastCallDict(callable, const_cast<PyObject**>(args.begin()), count, kwargs));
  }
  ternaryfunc slot = Py_TYPE(callable)->tp_call;
  if (slot == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
    return Ref();
  }
  Ref tuple = Ref::steal(PyTuple_New(count));
  if (!tuple) return Ref();
  Py_ssize_t i = 0;
  for (PyObject* arg : args) {
    Py_INCREF(arg);
    PyTuple_SET_ITEM(tuple.get(), i++, arg);
  }
  if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
  Ref result = Ref::steal(slot(callable, tuple.get(), kwargs));
  Py_LeaveRecursiveCall();
  if (!result) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "NULL result without error in CALL_FUNCTION");
    }
    return Ref();
  }
  if (PyErr_Occurred()) return Ref::steal(_Py_CheckFunctionResult(callable, result.release(), nullptr));
  return result;
}

Ref dict_item(PyObject* dict, PyObject* key) noexcept {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::borrow(value);
}

void raise_new(PyObject* exception_class, PyObject* argument) noexcept {
  Ref error = call(exception_class, {argument});
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

Ref call_method(PyObject* target, PyObject* name, std::initializer_list<PyObject*> args) noexcept {
  Ref method = Ref::steal(PyObject_GetAttr(target, name));
  if (!method) return Ref();
  return call(method.get(), args);
}

}  // namespace smsline

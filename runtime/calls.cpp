// Global lookup and the call helpers with the interpreter's error texts.
#include "runtime/calls.h"

#include <cstdint>

#include "runtime/builtins_hook.h"

namespace smsline {

namespace {

// Recent global lookups, one entry per name (direct-mapped on the name's
// hash).  An entry answers only while the globals dictionary and, for a
// value found in builtins, the builtins dictionary still carry the version
// tags they had at the lookup: any change to a dictionary gives it a new,
// process-unique tag, so a hit returns exactly what a fresh lookup would.
struct GlobalLookup {
  PyObject* name = nullptr;          // the interned name looked up
  std::uint64_t globals_version = 0;
  std::uint64_t builtins_version = 0;  // 0: found in the globals
  PyObject* value = nullptr;         // borrowed: the dictionary holds it
};
GlobalLookup recent_lookups[32];

std::uint64_t version_of(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// `flags` of a built-in function that it can be called with directly.
int direct_flags(int flags) noexcept { return flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST); }

// `method` called on `self` as _PyObject_FastCallDict calls a built-in
// function (recursion guard, the function's own calling convention, result
// check), without its dispatch: METH_NOARGS and METH_O with the argument
// itself, METH_VARARGS with a tuple (and the keywords, for METH_KEYWORDS).
// `function` names the callable in the error for a result inconsistent with
// the error state; when null (the call skipped making the bound method) the
// bound method is made for that error only.
Ref call_c_function(PyObject* function, PyMethodDef* method, PyObject* self, std::initializer_list<PyObject*> args,
                    PyObject* kwargs) noexcept {
  const int flags = direct_flags(method->ml_flags);
  Ref tuple;
  if (flags & METH_VARARGS) {
    tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* arg : args) {
      Py_INCREF(arg);
      PyTuple_SET_ITEM(tuple.get(), i++, arg);
    }
  }
  if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
  PyObject* result;
  if (flags == METH_NOARGS) {
    result = method->ml_meth(self, nullptr);
  } else if (flags == METH_O) {
    result = method->ml_meth(self, *args.begin());
  } else if (flags & METH_KEYWORDS) {
    result = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(method->ml_meth))(
        self, tuple.get(), kwargs);
  } else {
    result = method->ml_meth(self, tuple.get());
  }
  Py_LeaveRecursiveCall();
  if ((result == nullptr) != (PyErr_Occurred() == nullptr)) return Ref::steal(result);
  Ref bound;
  if (function == nullptr) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    bound = Ref::steal(PyCFunction_NewEx(method, self, nullptr));
    PyErr_Restore(type, value, traceback);
    if (!bound) {
      Py_XDECREF(result);
      return Ref();
    }
    function = bound.get();
  }
  return Ref::steal(_Py_CheckFunctionResult(function, result, nullptr));
}

// Whether a built-in function of these flags takes these arguments without
// complaint, so that call_c_function may call it.
bool takes(int flags, std::size_t count, PyObject* kwargs) noexcept {
  switch (direct_flags(flags)) {
    case METH_NOARGS:
      return count == 0 && kwargs == nullptr;
    case METH_O:
      return count == 1 && kwargs == nullptr;
    case METH_VARARGS:
      return kwargs == nullptr;
    case METH_VARARGS | METH_KEYWORDS:
      return true;
    default:
      return false;
  }
}

}  // namespace

Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  GlobalLookup* recent = PyUnicode_CheckExact(name)
                             ? &recent_lookups[reinterpret_cast<PyASCIIObject*>(name)->hash & 31]
                             : nullptr;
  if (recent != nullptr && recent->name == name && recent->globals_version == version_of(globals) &&
      (recent->builtins_version == 0 || recent->builtins_version == version_of(builtins_dict))) {
    return Ref::borrow(recent->value);
  }
  std::uint64_t builtins_version = 0;
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr && !PyErr_Occurred()) {
    builtins_version = version_of(builtins_dict);
    value = PyDict_GetItemWithError(builtins_dict, name);
  }
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  if (recent != nullptr && reinterpret_cast<PyASCIIObject*>(name)->hash != -1) {
    *recent = GlobalLookup{name, version_of(globals), builtins_version, value};
  }
  return Ref::borrow(value);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) noexcept {
  const Py_ssize_t count = static_cast<Py_ssize_t>(args.size());
  if (PyCFunction_Check(callable)) {
    PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
    if (takes(method->ml_flags, args.size(), kwargs)) {
      return call_c_function(callable, method, PyCFunction_GET_SELF(callable), args, kwargs);
    }
  }
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
  // A built-in method of an object with the generic attribute lookup is
  // called on the object directly, as the bound method that the lookup
  // would make calls it: same function, same checks, no bound method.
  PyTypeObject* type = Py_TYPE(target);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* attribute = _PyType_Lookup(type, name);
    if (attribute != nullptr && Py_TYPE(attribute) == &PyMethodDescr_Type &&
        PyObject_TypeCheck(target, PyDescr_TYPE(attribute))) {
      PyMethodDef* method = reinterpret_cast<PyMethodDescrObject*>(attribute)->d_method;
      PyObject** instance_dict = _PyObject_GetDictPtr(target);
      // An instance attribute of that name hides the method.
      if (takes(method->ml_flags, args.size(), nullptr) &&
          (instance_dict == nullptr || *instance_dict == nullptr ||
           PyDict_GetItem(*instance_dict, name) == nullptr)) {
        Ref keep = Ref::borrow(attribute);  // the call may change the type
        return call_c_function(nullptr, method, target, args, nullptr);
      }
    }
  }
  Ref method = Ref::steal(PyObject_GetAttr(target, name));
  if (!method) return Ref();
  return call(method.get(), args);
}

}  // namespace smsline

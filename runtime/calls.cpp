// Global lookup and the call helpers with the interpreter's error texts.
#include "runtime/calls.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "runtime/builtins_hook.h"
#include "runtime/compat/calls.h"

namespace smsline {

GlobalLookup recent_lookups[RECENT_LOOKUP_MASK + 1];

namespace {

// A fresh dictionary of the keyword arguments named in `kwnames`, whose
// values are at `values`, for a callee that takes its keywords as one.
Ref keyword_dict(PyObject* kwnames, PyObject* const* values) noexcept {
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  Ref dict = Ref::steal(_PyDict_NewPresized(count));
  for (Py_ssize_t i = 0; dict && i < count; ++i) {
    if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, i), values[i]) < 0) return Ref();
  }
  return dict;
}

// `method` called on `self` as the interpreter calls a built-in function
// (the recursion guard where the interpreter has it, the function's own
// calling convention, the result check), without its dispatch: METH_NOARGS
// and METH_O with the argument itself, METH_FASTCALL with the arguments as
// they are (and the keyword names), METH_VARARGS with a tuple (and the
// keywords as a dictionary, for METH_KEYWORDS).
// `function` names the callable in the error for a result inconsistent with
// the error state; when null (the call skipped making the bound method) the
// bound method is made for that error only.
Ref call_c_function(PyThreadState* tstate, PyObject* function, PyMethodDef* method, PyObject* self,
                    PyObject* const* args, std::size_t count, PyObject* kwnames) noexcept {
  const int flags = direct_flags(method->ml_flags);
  Ref tuple;
  Ref kwargs;
  if (flags & METH_VARARGS) {
    // Filled in place here and in call_array: a shared helper measured
    // slower on every call path.
    tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return Ref();
    for (std::size_t i = 0; i < count; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), args[i]);
    }
    if (kwnames != nullptr && !(kwargs = keyword_dict(kwnames, args + count))) return Ref();
  }
  if (GUARDED_BUILTIN_CALLS && enter_call(tstate)) return Ref();
  PyObject* result;
  if (flags == METH_NOARGS) {
    result = method->ml_meth(self, nullptr);
  } else if (flags == METH_O) {
    result = method->ml_meth(self, args[0]);
  } else if (flags == METH_FASTCALL_KEYWORDS) {
    result = reinterpret_cast<FastcallKeywordsFunction>(reinterpret_cast<void (*)(void)>(method->ml_meth))(
        self, args, static_cast<Py_ssize_t>(count), kwnames);
  } else if (POSITIONAL_FASTCALL && flags == METH_FASTCALL) {
    result = reinterpret_cast<FastcallFunction>(reinterpret_cast<void (*)(void)>(method->ml_meth))(
        self, args, static_cast<Py_ssize_t>(count));
  } else if (flags & METH_KEYWORDS) {
    result = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(method->ml_meth))(
        self, tuple.get(), kwargs.get());
  } else {
    result = method->ml_meth(self, tuple.get());
  }
  if (GUARDED_BUILTIN_CALLS) leave_call(tstate);
  if ((result == nullptr) != !error_pending(tstate)) return Ref::steal(result);
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
  return Ref::steal(check_call_result(tstate, function, result));
}

}  // namespace

Ref lookup_global_uncached(PyObject* globals, PyObject* name) noexcept {
  // The version tags are read before the look-ups: a key with its own
  // __eq__ can change either dictionary while it is searched, and the entry
  // kept below must then fail to match at once, not answer with a value
  // that a fresh lookup would no longer give.
  const std::uint64_t globals_version = dict_version(globals);
  std::uint64_t builtins_version = 0;
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr && !PyErr_Occurred()) {
    builtins_version = dict_version(builtins_dict);
    value = PyDict_GetItemWithError(builtins_dict, name);
  }
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  // Only an exact str with its hash computed is kept (the inline lookup
  // reads the hash of whatever it is given; no other name can match it).
  if (PyUnicode_CheckExact(name) && reinterpret_cast<PyASCIIObject*>(name)->hash != -1) {
    recent_lookups[reinterpret_cast<PyASCIIObject*>(name)->hash & RECENT_LOOKUP_MASK] =
        GlobalLookup{name, globals_version, builtins_version, value};
  }
  return Ref::borrow(value);
}

Ref call_array(PyThreadState* tstate, PyObject* callable, PyObject* const* args, std::size_t count,
               PyObject* kwnames) noexcept {
  const bool c_function = is_c_function(callable);
  if (c_function) {
    PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
    if (c_function_takes(method->ml_flags, count, kwnames != nullptr)) {
      return call_c_function(tstate, callable, method, PyCFunction_GET_SELF(callable), args, count, kwnames);
    }
  }
  // Interpreter functions, built-in functions and whatever takes the vector
  // call take their arguments without a tuple and check their own results.
  if (c_function || PyFunction_Check(callable) || takes_vector_call(callable)) {
    return Ref::steal(vector_call(tstate, callable, args, count, kwnames));
  }
  ternaryfunc slot = Py_TYPE(callable)->tp_call;
  if (slot == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
    return Ref();
  }
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return Ref();
  for (std::size_t i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), args[i]);
  }
  Ref kwargs;
  if (kwnames != nullptr && !(kwargs = keyword_dict(kwnames, args + count))) return Ref();
  if (enter_call(tstate)) return Ref();
  Ref result = Ref::steal(slot(callable, tuple.get(), kwargs.get()));
  leave_call(tstate);
  if (!result) {
    if (!error_pending(tstate)) {
      PyErr_SetString(PyExc_SystemError, "NULL result without error in CALL_FUNCTION");
    }
    return Ref();
  }
  if (error_pending(tstate)) return Ref::steal(check_call_result(tstate, callable, result.release()));
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

namespace {

// Recent attribute reads of exact modules that the module's dictionary
// answered, one entry per name (direct-mapped on the name's hash), as the
// interpreter's specialised module attribute read keeps them per
// instruction.  Process-wide; an entry is written at each such read that
// misses and is never emptied.  It answers only while its dictionary
// carries the version tag it had at the read: any change gives the
// dictionary a new, process-unique tag, and a dictionary made later at the
// same address has a tag of its own.  What the module type itself defines
// cannot change (the built-in module type and object take no new
// attributes), so a name it did not define stays undefined there.
struct ModuleAttribute {
  PyObject* dict = nullptr;   // the module's dictionary
  PyObject* name = nullptr;   // the interned name read
  std::uint64_t version = 0;  // the dictionary's tag at the read
  PyObject* value = nullptr;  // borrowed: the dictionary holds it
};
ModuleAttribute recent_module_attributes[RECENT_LOOKUP_MASK + 1];

}  // namespace

PyObject* recent_module_attribute(PyObject* module, PyObject* name) noexcept {
  if (Py_TYPE(module) != &PyModule_Type) return nullptr;
  PyObject* const dict = PyModule_GetDict(module);
  const ModuleAttribute& recent =
      recent_module_attributes[reinterpret_cast<PyASCIIObject*>(name)->hash & RECENT_LOOKUP_MASK];
  if (dict != nullptr && recent.name == name && recent.dict == dict && recent.version == dict_version(dict)) {
    return recent.value;
  }
  return nullptr;
}

Ref get_attribute(PyObject* target, PyObject* name) noexcept {
  // An exact module's attribute lookup is the generic one: the module type
  // (and object) first, then the module's dictionary.  A name neither type
  // defines is the dictionary's value itself, when it is there; anything
  // else (and the error of a missing name) is left to the lookup proper.
  if (Py_TYPE(target) == &PyModule_Type) {
    PyObject* const dict = PyModule_GetDict(target);
    // Only an exact str with its hash computed has an entry (our names are).
    const bool keyed = PyUnicode_CheckExact(name) && reinterpret_cast<PyASCIIObject*>(name)->hash != -1;
    ModuleAttribute* const recent =
        keyed ? &recent_module_attributes[reinterpret_cast<PyASCIIObject*>(name)->hash & RECENT_LOOKUP_MASK]
              : nullptr;
    if (recent != nullptr && recent->name == name && recent->dict == dict && dict != nullptr &&
        recent->version == dict_version(dict)) {
      return Ref::borrow(recent->value);
    }
    if (dict != nullptr && _PyType_Lookup(&PyModule_Type, name) == nullptr) {
      // The tag is read before the look-up: a key with its own __eq__ can
      // change the dictionary while it is searched, and the entry kept
      // below must then fail to match at once.
      const std::uint64_t version = dict_version(dict);
      PyObject* const value = dict_item_or_null(dict, name);
      if (value != nullptr) {
        if (recent != nullptr) *recent = ModuleAttribute{dict, name, version, value};
        return Ref::borrow(value);
      }
    }
  }
  return Ref::steal(PyObject_GetAttr(target, name));
}

Ref Method::call(PyThreadState* tstate, PyObject* const* args, std::size_t count, PyObject* kwnames) const noexcept {
  if (self_ == nullptr) return call_array(tstate, callable_.get(), args, count, kwnames);
  if (c_method_ != nullptr) return call_c_function(tstate, nullptr, c_method_, self_, args, count, kwnames);
  // An interpreter function (or a method descriptor) takes the object as
  // its first argument, as the interpreter itself calls a bound method.
  PyObject* stack[MAX_ARGS + 1];
  stack[0] = self_;
  const std::size_t given = count + keyword_count(kwnames);
  static_assert(MAX_ARGS == 7, "the copy below names each slot");
  // One by one: a loop here becomes a call of memcpy, dearer than the copy
  // itself for the one or two arguments a method call mostly has.
  switch (given) {
    case 7: stack[7] = args[6]; [[fallthrough]];
    case 6: stack[6] = args[5]; [[fallthrough]];
    case 5: stack[5] = args[4]; [[fallthrough]];
    case 4: stack[4] = args[3]; [[fallthrough]];
    case 3: stack[3] = args[2]; [[fallthrough]];
    case 2: stack[2] = args[1]; [[fallthrough]];
    case 1: stack[1] = args[0]; [[fallthrough]];
    default: break;
  }
  return Ref::steal(vector_call(tstate, callable_.get(), stack, count + 1, kwnames));
}

Ref call_method(PyThreadState* tstate, PyObject* target, PyObject* name,
                std::initializer_list<PyObject*> args) noexcept {
  Method method;
  if (!method.look_up(tstate, target, name, args.size())) return Ref();
  return method.call(tstate, args);
}

}  // namespace smsline

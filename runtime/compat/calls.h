// Calling conventions that differ between interpreter versions: vector calls and result checks.
#pragma once

#include <cstddef>
#include <cstring>

#include "runtime/compat/thread_state.h"
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

// Built-in functions that take their arguments as the caller's array: with
// the keyword names after the count (METH_FASTCALL_KEYWORDS), and from 3.7
// also without keywords (METH_FASTCALL alone).
using FastcallKeywordsFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t count,
                                               PyObject* kwnames);
using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t count);
constexpr bool POSITIONAL_FASTCALL = PY_VERSION_HEX >= 0x03070000;

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

// Whether the interpreter guards the depth of a direct call of a built-in
// function (METH_NOARGS, METH_O, METH_VARARGS ...), as it guards every
// other call: from 3.7.  3.6 calls them without counting a level.
constexpr bool GUARDED_BUILTIN_CALLS = PY_VERSION_HEX >= 0x03070000;

// The vectorcall entry of a callable type (PEP 590, from 3.8): the
// callable, its positional arguments followed by its keyword values, the
// positional count (with the interpreter's offset flag), the keyword names.
using VectorcallEntry = PyObject* (*)(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                      PyObject* kwnames);

// The entry through which `callable` takes the vector call itself (its
// type implements the protocol, from 3.8), or null: calling it so packs no
// tuple.  (What the interpreter's inline _PyVectorcall_Function reads: from
// 3.11 PyVectorcall_Function is a call into the interpreter.)
inline VectorcallEntry vectorcall_entry([[maybe_unused]] PyObject* callable) noexcept {
#if PY_VERSION_HEX < 0x03080000
  return nullptr;
#else
#if PY_VERSION_HEX < 0x03090000
  constexpr unsigned long flag = _Py_TPFLAGS_HAVE_VECTORCALL;
#else
  constexpr unsigned long flag = Py_TPFLAGS_HAVE_VECTORCALL;
#endif
  PyTypeObject* const type = Py_TYPE(callable);
  if (!(type->tp_flags & flag)) return nullptr;
  VectorcallEntry entry;
  std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof entry);
  return entry;
#endif
}

// Whether `callable` takes the vector call itself.
inline bool takes_vector_call(PyObject* callable) noexcept { return vectorcall_entry(callable) != nullptr; }

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

// callable(*args[:count], **dict(zip(kwnames, args[count:]))) through the
// interpreter's vector call: _PyObject_FastCallKeywords in 3.6 and 3.7, the
// vectorcall protocol from 3.8.  `kwnames` is null or a tuple of str, the
// names of the keyword values that follow the positional ones in `args`.
// `tstate` is the calling thread's: 3.9 and 3.10 take it in the inline
// form of the call, which otherwise asks the interpreter for it.  New
// reference, or null with an exception set.
inline PyObject* vector_call([[maybe_unused]] PyThreadState* tstate, PyObject* callable, PyObject* const* args,
                             std::size_t count, PyObject* kwnames) noexcept {
#if PY_VERSION_HEX < 0x03080000
  return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), static_cast<Py_ssize_t>(count), kwnames);
#elif PY_VERSION_HEX < 0x03090000
  return _PyObject_Vectorcall(callable, args, count, kwnames);
#else
  // The interpreter's inline vector call, with the thread state at hand and
  // its result check made only when the result and the error state
  // disagree: what _PyObject_VectorcallTstate does, which from 3.11 is
  // internal and behind PyObject_Vectorcall's call.
  const VectorcallEntry entry = vectorcall_entry(callable);
  if (entry == nullptr) return PyObject_Vectorcall(callable, args, count, kwnames);  // through a tuple
  PyObject* const result = entry(callable, args, count, kwnames);
  if ((result != nullptr) != error_pending(tstate)) return result;
  return check_call_result(tstate, callable, result);
#endif
}

// callable(*args[:count], **kwargs) with a keyword dictionary (null: none)
// through the interpreter's vector call.  New reference, or null with an
// exception set.
inline PyObject* vector_call_dict(PyObject* callable, PyObject* const* args, std::size_t count,
                                  PyObject* kwargs) noexcept {
#if PY_VERSION_HEX < 0x03090000
  return _PyObject_FastCallDict(callable, const_cast<PyObject**>(args), static_cast<Py_ssize_t>(count), kwargs);
#else
  return PyObject_VectorcallDict(callable, args, count, kwargs);
#endif
}

// Whether a type of ours can take the vector call (3.8 on); before, calls
// reach it through its tp_call, with a tuple and a keyword dictionary.
constexpr bool VECTORCALL_TYPES = PY_VERSION_HEX >= 0x03080000;

// The positional count of a vector call (the interpreter's offset flag
// masked off).
inline Py_ssize_t vectorcall_count(std::size_t nargsf) noexcept {
#if PY_VERSION_HEX < 0x03080000
  return static_cast<Py_ssize_t>(nargsf);
#else
  return PyVectorcall_NARGS(nargsf);
#endif
}

// Makes `type` (not yet ready) take the vector call through the entry
// stored at `offset` in its objects, where VECTORCALL_TYPES holds; calls
// with a tuple and a dictionary then go through the interpreter's
// conversion to the same entry.  Elsewhere the type keeps the tp_call it has.
inline void accept_vector_calls([[maybe_unused]] PyTypeObject& type, [[maybe_unused]] Py_ssize_t offset) noexcept {
#if PY_VERSION_HEX >= 0x03090000
  type.tp_vectorcall_offset = offset;
  type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
  type.tp_call = PyVectorcall_Call;
#elif PY_VERSION_HEX >= 0x03080000
  type.tp_vectorcall_offset = offset;
  type.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL;
  type.tp_call = PyVectorcall_Call;
#endif
}

#if PY_VERSION_HEX >= 0x03070000
// The interpreter's own method look-up, the one its method-call
// instructions make: exported from 3.7, declared only in internal headers.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

// Whether the interpreter keeps the attributes of objects of `type` itself
// (from 3.11: in values it manages, without a dictionary until one is asked
// for).  Asking for such an object's dictionary pointer
// (_PyObject_GetDictPtr) makes the dictionary, after which the interpreter
// no longer specialises reads of that object: only the interpreter's own
// method look-up may look at it.  Any other object's dictionary pointer is
// just where its dictionary is kept.
inline bool attributes_kept_by_interpreter([[maybe_unused]] PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
#else
  return false;
#endif
}

// Where `obj` keeps its instance dictionary, or null: _PyObject_GetDictPtr
// for an object whose type the interpreter does not keep the attributes of
// (see above), read inline where the dictionary sits at a fixed offset; the
// interpreter computes the rest (variable-sized objects).
inline PyObject** instance_dict_place(PyObject* obj) noexcept {
  const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset == 0) return nullptr;
  if (offset < 0) return _PyObject_GetDictPtr(obj);
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// `obj.name` as the interpreter looks up a method it is about to call: 1
// with `*method` the function or method descriptor that the type holds
// under that name, to be called with `obj` as its first argument (no
// bound method made); 0 with `*method` the attribute itself; 0 with
// `*method` null and an exception set on failure.  `*method` must be null
// on entry (the failure leaves it as it is).  From 3.7 (before: the
// attribute, always 0).
inline int interpreter_method_lookup(PyObject* obj, PyObject* name, PyObject** method) noexcept {
#if PY_VERSION_HEX >= 0x03070000
  return _PyObject_GetMethod(obj, name, method);
#else
  *method = PyObject_GetAttr(obj, name);
  return 0;
#endif
}

// What the interpreter calls unbound, with the object as its first argument,
// when its method look-up finds it on the type: from 3.7 a function or a
// method descriptor (from 3.8 anything whose type says it behaves as one);
// 3.6 binds every method at the look-up.
constexpr bool UNBOUND_METHOD_CALLS = PY_VERSION_HEX >= 0x03070000;
inline bool called_unbound([[maybe_unused]] PyObject* attribute) noexcept {
#if PY_VERSION_HEX < 0x03070000
  return false;
#elif PY_VERSION_HEX < 0x03080000
  return PyFunction_Check(attribute) || Py_TYPE(attribute) == &PyMethodDescr_Type;
#else
  return (Py_TYPE(attribute)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) != 0;
#endif
}

// The instance dictionary's entry of `name` as the method look-up reads it
// (borrowed), or null: up to 3.7 an error of the look-up (a key's own
// __eq__) is dropped; from 3.8 it is kept, and null comes with it set.
inline PyObject* method_lookup_dict_item(PyObject* dict, PyObject* name) noexcept {
#if PY_VERSION_HEX < 0x03080000
  return PyDict_GetItem(dict, name);
#else
  return PyDict_GetItemWithError(dict, name);
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

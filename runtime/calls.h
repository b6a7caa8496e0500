// Name lookup and calls as our functions make them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "runtime/compat/calls.h"
#include "runtime/compat/dicts.h"
#include "runtime/compat/thread_state.h"
#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

// Recent global lookups, one entry per name (direct-mapped on the name's
// hash).  An entry answers only while the globals dictionary and, for a
// value found in builtins, the builtins dictionary still carry the version
// tags they had at the lookup: any change to a dictionary gives it a new,
// process-unique tag, so a hit returns exactly what a fresh lookup would.
struct GlobalLookup {
  PyObject* name = nullptr;            // the interned name looked up
  std::uint64_t globals_version = 0;
  std::uint64_t builtins_version = 0;  // 0: found in the globals
  PyObject* value = nullptr;           // borrowed: the dictionary holds it
};
constexpr Py_hash_t RECENT_LOOKUP_MASK = 127;  // few collisions among the names of a module, whatever the hash seed
extern GlobalLookup recent_lookups[RECENT_LOOKUP_MASK + 1];
extern PyObject* builtins_dict;

// The lookup itself, for a name the recent lookups do not answer.
Ref lookup_global_uncached(PyObject* globals, PyObject* name) noexcept;

// The recent lookup of `name` in `globals` (an exact str with its hash),
// when one still answers; no lookup is made, so no code runs.
inline const GlobalLookup* recent_lookup(PyObject* globals, PyObject* name) noexcept {
  const GlobalLookup& recent = recent_lookups[reinterpret_cast<PyASCIIObject*>(name)->hash & RECENT_LOOKUP_MASK];
  if (recent.name == name && recent.globals_version == dict_version(globals) &&
      (recent.builtins_version == 0 || recent.builtins_version == dict_version(builtins_dict))) {
    return &recent;
  }
  return nullptr;
}

// Global lookup: the module's dictionary, then the builtins dictionary;
// NameError "name '...' is not defined" when in neither.  Null on failure.
// `name` is an exact str (our names are).  A recent lookup answers inline.
inline Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  if (const GlobalLookup* recent = recent_lookup(globals, name)) return Ref::borrow(recent->value);
  return lookup_global_uncached(globals, name);
}

// Calls `callable` with the `count` positional arguments at `args`, and
// with keywords when `kwnames` is given: a tuple of the names (exact str),
// whose values follow the positional ones in `args` (the interpreter's
// vector call convention; no dictionary is made unless the callee takes
// one).  The caller holds a reference to `callable` for the call, as the
// interpreter holds a callable on its stack: a reference borrowed from a
// dictionary can be dropped by the call itself (a hook that uninstalls
// itself from builtins, say).  Errors are the interpreter's: "'...' object is not callable", and
// SystemError "NULL result without error in CALL_FUNCTION" when a callable
// returns nothing without setting an exception.  Null on failure.
// `tstate` is the calling thread's state, where the caller has it at hand.
Ref call_array(PyThreadState* tstate, PyObject* callable, PyObject* const* args, std::size_t count,
               PyObject* kwnames = nullptr) noexcept;
inline Ref call_array(PyObject* callable, PyObject* const* args, std::size_t count,
                      PyObject* kwnames = nullptr) noexcept {
  return call_array(current_thread_state(), callable, args, count, kwnames);
}
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
  return call_array(callable, args.begin(), args.size());
}
// The same with the keywords in a dictionary (for calls that are not the
// bodies': the loader's).
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) noexcept {
  return Ref::steal(vector_call_dict(callable, args.begin(), args.size(), kwargs));
}

// The number of keyword values that follow the positional ones (0 for null).
inline std::size_t keyword_count(PyObject* kwnames) noexcept {
  return kwnames != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
}

// getattr(target, name), as PyObject_GetAttr gives it.  Null on failure.
Ref get_attribute(PyObject* target, PyObject* name) noexcept;

// The attribute `name` (an exact str) of the exact module `module` as a
// recent read of it still knows it (borrowed), or null when none does; no
// lookup is made, so no code runs.
PyObject* recent_module_attribute(PyObject* module, PyObject* name) noexcept;

// `flags` of a built-in function that it can be called with directly.
inline int direct_flags(int flags) noexcept { return flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST); }

// Whether a built-in function of these flags takes these arguments without
// complaint, so that the call helpers may call it directly.
inline bool c_function_takes(int flags, std::size_t count, bool keywords) noexcept {
  // The common conventions first: a chain, not a jump table.
  const int direct = direct_flags(flags);
  if (direct == METH_NOARGS) return count == 0 && !keywords;
  if (direct == METH_O) return count == 1 && !keywords;
  if (direct == METH_FASTCALL_KEYWORDS) return true;
  if (direct == METH_FASTCALL) return !keywords;  // from 3.7 (3.6's is the line above)
  if (direct == METH_VARARGS) return !keywords;
  return direct == (METH_VARARGS | METH_KEYWORDS);
}

// An attribute looked up to be called, as the interpreter's method calls
// look it up: look_up() is the attribute lookup (its errors, its moment),
// call() the call.  A built-in method or an interpreter function that the
// lookup would bind to the object is kept with the object instead, and
// called as the bound method would call it, without making one.  The
// target must outlive the Method.
class Method {
 public:
  // Arguments, positional and keyword, that the unbound form takes at most.
  static constexpr std::size_t MAX_ARGS = 7;

  // `target.name`, for a call with `count` positional arguments and
  // `keywords` keyword arguments, on the thread of `tstate`.  False with an
  // exception set on failure.
  bool look_up(PyThreadState* tstate, PyObject* target, PyObject* name, std::size_t count,
               std::size_t keywords = 0) noexcept;
  // The call, with as many positional arguments as look_up() was told,
  // followed in `args` by the values of the keywords in `kwnames` (as
  // call_array takes them) where it was told of keywords.  Null on failure.
  // `tstate` is the calling thread's state.
  Ref call(PyThreadState* tstate, PyObject* const* args, std::size_t count, PyObject* kwnames = nullptr) const noexcept;
  Ref call(PyThreadState* tstate, std::initializer_list<PyObject*> args) const noexcept {
    return call(tstate, args.begin(), args.size());
  }
  Ref call(std::initializer_list<PyObject*> args) const noexcept {
    return call(current_thread_state(), args.begin(), args.size());
  }

 private:
  // The look-up of the interpreter itself, for objects whose attributes it keeps.
  bool look_up_by_interpreter(PyObject* target, PyObject* name, std::size_t count, std::size_t keywords) noexcept;
  // The same look-up for any other object, inline.
  bool look_up_generic(PyThreadState* tstate, PyObject* target, PyObject* name, std::size_t count,
                       std::size_t keywords) noexcept;
  // Keeps `found`, the type's attribute, to be called with `target` first
  // (`c_method`: its function, when it can be called directly).
  bool take_unbound(Ref found, PyObject* target, std::size_t count, std::size_t keywords,
                    PyMethodDef* c_method) noexcept;

  Ref callable_;                       // the attribute, or what the type holds under its name
  PyObject* self_ = nullptr;           // borrowed: the target, when callable_ is unbound
  PyMethodDef* c_method_ = nullptr;    // callable_'s function, when it is a built-in method descriptor
};

// The function of `found`, a type's attribute, when it is a built-in method
// descriptor that applies to `target` and takes these arguments by one of
// the plain conventions, so that it can be called directly; else null.
inline PyMethodDef* direct_c_method(PyObject* found, PyObject* target, std::size_t count, std::size_t keywords) noexcept {
  if (Py_TYPE(found) != &PyMethodDescr_Type) return nullptr;
  PyMethodDef* const c_method = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
  return PyObject_TypeCheck(target, PyDescr_TYPE(found)) && c_function_takes(c_method->ml_flags, count, keywords != 0)
             ? c_method
             : nullptr;
}

// Always inline: where it is not, the link-time optimiser may leave it out
// of line in one caller or another, a call and return more at each method
// call.
inline __attribute__((always_inline)) bool Method::look_up(PyThreadState* tstate, PyObject* target, PyObject* name,
                                                          std::size_t count, std::size_t keywords) noexcept {
  self_ = nullptr;
  c_method_ = nullptr;
  PyTypeObject* const type = Py_TYPE(target);
  if (type == &PyModule_Type) {
    // A module's attribute is what its attribute lookup gives (the
    // interpreter's method look-up asks it too): the recent reads answer.
    callable_ = get_attribute(target, name);
    return static_cast<bool>(callable_);
  }
  if (attributes_kept_by_interpreter(type)) return look_up_by_interpreter(target, name, count, keywords);
  return look_up_generic(tstate, target, name, count, keywords);
}

inline __attribute__((always_inline)) bool Method::look_up_by_interpreter(PyObject* target, PyObject* name,
                                                                          std::size_t count,
                                                                          std::size_t keywords) noexcept {
  PyObject* found = nullptr;  // the look-up leaves it as it is when it fails
  const int unbound = interpreter_method_lookup(target, name, &found);
  if (unbound) return take_unbound(Ref::steal(found), target, count, keywords, direct_c_method(found, target, count, keywords));
  callable_ = Ref::steal(found);
  return found != nullptr;
}

inline __attribute__((always_inline)) bool Method::look_up_generic(PyThreadState* tstate, PyObject* target,
                                                                   PyObject* name, std::size_t count,
                                                                   std::size_t keywords) noexcept {
  // With the generic attribute lookup, what the type holds under the name
  // and the interpreter calls unbound is kept with the object, unless an
  // instance attribute of that name hides it.  A name the type does not
  // have is the instance dictionary's entry.  Anything else is the
  // attribute lookup's answer.
  PyTypeObject* const type = Py_TYPE(target);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    // Held before the instance dictionary is searched, as the interpreter's
    // generic lookup holds it: a key there with its own __eq__ can delete
    // the attribute from the class, or replace the dictionary itself.
    Ref attribute = Ref::borrow(_PyType_Lookup(type, name));
    PyObject* const found = attribute.get();
    PyMethodDef* const c_method = found != nullptr ? direct_c_method(found, target, count, keywords) : nullptr;
    // (3.6 binds at the look-up; a function, or a built-in method it would
    // call directly, is called unbound here all the same: the same call
    // without the bound method.)
    const bool unbound = c_method != nullptr ||
                         (found != nullptr && (UNBOUND_METHOD_CALLS ? called_unbound(found) : PyFunction_Check(found)));
    if (found == nullptr || unbound) {
      PyObject** const instance_dict = instance_dict_place(target);
      const Ref dict = Ref::borrow(instance_dict != nullptr ? *instance_dict : nullptr);
      if (dict) {
        Ref value = Ref::borrow(method_lookup_dict_item(dict.get(), name));
        if (value) {
          callable_ = std::move(value);  // the instance's own attribute
          return true;
        }
        if (error_pending(tstate)) return false;
      }
      if (unbound) return take_unbound(std::move(attribute), target, count, keywords, c_method);
      // Neither the type nor the instance has it: the lookup proper says so.
    }
  }
  callable_ = get_attribute(target, name);
  return static_cast<bool>(callable_);
}

inline bool Method::take_unbound(Ref found, PyObject* target, std::size_t count, std::size_t keywords,
                                 PyMethodDef* c_method) noexcept {
  PyObject* const method = found.get();
  if (c_method == nullptr && count + keywords >= MAX_ARGS) {
    // Too many for the unbound form: the bound method, as the attribute
    // lookup makes it.
    callable_ = Ref::steal(Py_TYPE(method)->tp_descr_get(method, target, reinterpret_cast<PyObject*>(Py_TYPE(target))));
    return static_cast<bool>(callable_);
  }
  callable_ = std::move(found);  // a later change of the type does not change it
  self_ = target;
  c_method_ = c_method;
  return true;
}

// Looks the attribute `name` up on `target` and calls it, on the calling
// thread whose state is `tstate`.  Null on failure.  Kept out of line: the
// lookup and the call inline into it, and the callers (the bodies, at every
// method call) stay small.
__attribute__((noinline, flatten)) Ref call_method(PyThreadState* tstate, PyObject* target, PyObject* name,
                                                   std::initializer_list<PyObject*> args) noexcept;
inline Ref call_method(PyObject* target, PyObject* name, std::initializer_list<PyObject*> args) noexcept {
  return call_method(current_thread_state(), target, name, args);
}

// dict[key], with KeyError when it is missing.  Null on failure.
Ref dict_item(PyObject* dict, PyObject* key) noexcept;

// `raise exception_class(argument)`: the exception is made by calling the
// class and chained to the exception being handled, if any.  Always leaves
// an exception set.
void raise_new(PyObject* exception_class, PyObject* argument) noexcept;

}  // namespace smsline

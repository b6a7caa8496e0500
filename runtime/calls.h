// Name lookup and calls as our functions make them.
#pragma once

#include <initializer_list>

#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

// Global lookup: the module's dictionary, then the builtins dictionary;
// NameError "name '...' is not defined" when in neither.  Null on failure.
Ref lookup_global(PyObject* globals, PyObject* name) noexcept;

// Calls `callable` with positional `args` and optional keyword dictionary.
// Errors are the interpreter's: "'...' object is not callable", and
// SystemError "NULL result without error in CALL_FUNCTION" when a callable
// returns nothing without setting an exception.  Null on failure.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs = nullptr) noexcept;

// Looks the attribute `name` up on `target` and calls it.  Null on failure.
Ref call_method(PyObject* target, PyObject* name, std::initializer_list<PyObject*> args) noexcept;

// dict[key], with KeyError when it is missing.  Null on failure.
Ref dict_item(PyObject* dict, PyObject* key) noexcept;

// `raise exception_class(argument)`: the exception is made by calling the
// class and chained to the exception being handled, if any.  Always leaves
// an exception set.
void raise_new(PyObject* exception_class, PyObject* argument) noexcept;

}  // namespace smsline

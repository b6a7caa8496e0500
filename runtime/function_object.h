// The runtime's function type: native bodies that look and bind like interpreter functions.
#pragma once

#include "runtime/python.h"

namespace smsline {

// A function body: receives the bound positional-or-keyword arguments
// (borrowed, as many as the code object's argument count) and returns a new
// reference, or null with an exception set.
using FunctionBody = PyObject* (*)(PyObject* const* args) noexcept;

// The function type.  Made ready by ready_function_type() (start-up duty 3)
// before any function object exists.
extern PyTypeObject function_type;

// Start-up duty 3 for this runtime.  False with an exception set on failure.
bool ready_function_type() noexcept;

// A new function object (null with an exception set).  `code` names it in
// frames and decides its parameters; `globals` is the dictionary it reads
// (its __globals__, whose "__name__" is its __module__); `doc` and
// `annotations` may be null: no docstring, and annotations made empty at
// first access.  All references are borrowed.
PyObject* new_function(PyCodeObject* code, PyObject* globals, PyObject* doc, PyObject* annotations,
                       FunctionBody body) noexcept;

}  // namespace smsline

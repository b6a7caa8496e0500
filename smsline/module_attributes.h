// The standard attributes that the package body and the submodule body give their modules.
#pragma once

#include "runtime/python.h"

namespace smsline {

// Sets, in this order: __package__ := `package` (skipped when null),
// __builtins__ (only when missing), __loader__ (the loader type), __spec__
// (importlib's spec for the module as it stands, marked _initializing),
// __doc__ := None and __file__ := `file`.  False with an exception set.
bool set_module_attributes(PyObject* module, PyObject* dict, PyObject* package, PyObject* file) noexcept;

}  // namespace smsline

// Imports as module bodies make them: through the kept __import__, and the from-import rule.
#pragma once

#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

// `import name` / `from name import ...`: calls the kept __import__ with
// (name, globals, None, fromlist or None, 0).  Null on failure.
Ref import_module(PyObject* name, PyObject* globals, PyObject* fromlist) noexcept;

// Takes `name` from an imported `module` as `from module import name` does:
// the attribute; for a module lacking it, the submodule of that name (imported
// through the kept __import__), then the attribute once more.  A name still
// missing is ImportError "cannot import name '...'".  Null on failure.
Ref import_from(PyObject* module, PyObject* name, PyObject* globals) noexcept;

}  // namespace smsline

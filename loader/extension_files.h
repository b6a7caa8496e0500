// Extension-module files found in a package's directories and loaded as its submodules.
#pragma once

#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

// The path recorded for `name` by an earlier package scan, or null when
// there is none.  Never sets an exception.  The lookup can run the name's
// own __hash__ and __eq__: the path comes back held.
Ref recorded_extension_path(PyObject* name) noexcept;

// The package scan: looks for an extension file for the full name `name` in
// the __path__ directories of the package `package`, and records its path.
// 1 found, 0 not found; an exception may be left set with 0.
int find_extension_in_package(const char* name, const char* package) noexcept;

// Loads the extension file at `path` as the module `name` through the
// dynamic linker and its PyInit_<last name part>: a single-phase module is
// registered with the interpreter, a multi-phase definition is made into a
// module, entered in sys.modules and executed.  New reference, or null with
// an exception set.
PyObject* load_extension_file(PyObject* name, PyObject* path) noexcept;

}  // namespace smsline

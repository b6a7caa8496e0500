// The kept built-ins (__import__, open) and the builtins dictionary the functions read.
#pragma once

#include "runtime/python.h"

namespace smsline {

// The `builtins` module and its dictionary, kept by install_builtins_hook()
// (start-up duty 1) for the rest of the process; null before that.
extern PyObject* builtins_module;
extern PyObject* builtins_dict;

// Start-up duty 1: keeps `builtins` (the module the interpreter records
// under that name, taken without an import) and gives it a module subtype
// whose attribute assignment also replaces our kept __import__, open and
// print.  Ends the process (print, status 1) when there is no such module.
// Returns false with an exception set if the subtype cannot be readied.
bool install_builtins_hook() noexcept;

// The kept built-in __import__ / open (borrowed).  Taken from the builtins
// dictionary on first use; when it is missing there the runtime cannot work,
// and the process ends after printing the error.
PyObject* kept_import() noexcept;
PyObject* kept_open() noexcept;

// A built-in taken straight from the builtins dictionary (borrowed), never
// from a module's globals.  Ends the process when it is missing.
PyObject* builtin_or_exit(PyObject* name) noexcept;

// Prints the pending error as the interpreter prints uncaught errors and
// ends the process with status 1: for conditions that leave the runtime unusable.
[[noreturn]] void exit_runtime_unusable() noexcept;

}  // namespace smsline

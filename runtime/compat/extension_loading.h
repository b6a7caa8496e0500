// The interpreter's import state: package context, record of extension modules, module dictionary, dlopen flags.
#pragma once

#include <cstring>

#include "runtime/python.h"
#include "runtime/ref.h"

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter; its declaration left the public headers in 3.13.
extern "C" PyObject* _PyErr_FormatFromCause(PyObject* exception, const char* format, ...);
#endif

namespace smsline {

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 the interpreter keeps its package context in a thread-local
// variable of its own, which nothing outside it reads or sets.  Our loader's
// context is kept here instead: set around an init function that our loader
// calls (never across threads: the import lock is held), null otherwise.
extern const char* loader_package_context;
#endif

// The full dotted name the interpreter gives the extension module being
// initialised (_Py_PackageContext up to 3.11), or null.  PyModule_Create2
// reads it.  From 3.12 only the context our loader set is seen here; the
// interpreter's own shows in the name PyModule_Create2 gave the module
// (resolved_module_name).
inline const char* package_context() noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return _Py_PackageContext;
#else
  return loader_package_context;
#endif
}

// Sets the package context; returns the one it replaces.
inline const char* set_package_context(const char* context) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  const char* previous = _Py_PackageContext;
#if PY_VERSION_HEX < 0x03070000
  _Py_PackageContext = const_cast<char*>(context);  // a char* in 3.6; never written through
#else
  _Py_PackageContext = context;
#endif
  return previous;
#else
  const char* previous = loader_package_context;
  loader_package_context = context;
  return previous;
#endif
}

// The name PyModule_Create2 gave `module` from the interpreter's own
// package context, where only that name tells it (from 3.12); null up to
// 3.11 (package_context() has it) or on failure (exception cleared: the
// module keeps the name it has).  Borrowed from the module.
inline const char* resolved_module_name([[maybe_unused]] PyObject* module) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return nullptr;
#else
  const char* name = PyModule_GetName(module);
  if (name == nullptr) PyErr_Clear();
  return name;
#endif
}

// What PyModule_Create2 does with the package context up to 3.11, done
// after the init function from 3.12 for a context our loader set: a module
// `module` named `full_name`'s last part takes the full name.  0, or -1
// with an exception set.
inline int adopt_package_context([[maybe_unused]] PyObject* module,
                                 [[maybe_unused]] const char* full_name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  const char* last_dot = full_name != nullptr ? std::strrchr(full_name, '.') : nullptr;
  if (last_dot == nullptr || !PyModule_Check(module)) return 0;
  const char* name = PyModule_GetName(module);
  if (name == nullptr) {
    PyErr_Clear();
    return 0;
  }
  if (std::strcmp(name, last_dot + 1) != 0) return 0;
  Ref full = Ref::steal(PyUnicode_FromString(full_name));
  if (!full) return -1;
  return PyObject_SetAttrString(module, "__name__", full.get());
#else
  return 0;
#endif
}

// Records a single-phase module made from an extension file with the
// interpreter (its record for a later import of the same file, see
// recorded_extension_module) and enters it in sys.modules.  -1 with an
// exception set on failure.  3.13 keeps that record behind functions it
// does not export: the module only enters sys.modules there.
int record_extension_module(PyObject* module, PyObject* name, PyObject* path) noexcept;

// What the interpreter's own loader hands back when the extension file
// `path`, loaded before as `name` and recorded (record_extension_module), is
// imported again: for a module without state of its own (size -1) a module
// entered in sys.modules (the one there, or a new one) and given a copy of
// the dictionary the first load left; for any other a module made by its
// init function again.  Null when the interpreter has no record of the file,
// with an exception set when the look-up failed.  Up to 3.10 the
// interpreter exports its look-up; on 3.11 and 3.12 only its loader
// (_imp.create_dynamic) reaches the record, and it is asked only for a file
// recorded here, which it therefore finds rather than loads.  3.13 exports
// neither the record nor its look-up: nothing is found there, and the file
// is initialised again.
Ref recorded_extension_module(PyObject* name, PyObject* path) noexcept;

// The interpreter's own dictionary of modules (sys.modules as the
// interpreter holds it, whatever sys.modules is rebound to), borrowed; null
// when it has none.  Read from the public interpreter state in 3.6 and 3.7;
// from 3.8 the state is opaque and PyImport_GetModuleDict() gives it.
inline PyObject* interpreter_modules() noexcept {
#if PY_VERSION_HEX < 0x03080000
  return PyThreadState_GET()->interp->modules;
#else
  return PyImport_GetModuleDict();
#endif
}

// PyModule_NewObject(name).  3.13.0 hands the new module's dictionary to
// the garbage collector a second time when the dictionary already holds an
// object the collector tracks, which a name of a str subclass is, and stops
// the process: there the module is named by an exact copy of the name.
inline PyObject* new_module_object(PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  if (!PyUnicode_CheckExact(name)) {
    Ref exact = Ref::steal(PyUnicode_Substring(name, 0, PyUnicode_GetLength(name)));  // an exact str
    return exact ? PyModule_NewObject(exact.get()) : nullptr;
  }
#endif
  return PyModule_NewObject(name);
}

// The interpreter's current dlopen flags (what sys.getdlopenflags()
// reports), or -1 with an exception set.  The interpreter state is public
// in 3.6 and 3.7; from 3.8 it is opaque, and sys.getdlopenflags() answers.
int interpreter_dlopen_flags() noexcept;

}  // namespace smsline

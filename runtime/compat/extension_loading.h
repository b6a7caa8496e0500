// The interpreter's import state: package context, record of extension modules, module dictionary, dlopen flags.
#pragma once

#include "runtime/python.h"

namespace smsline {

// The full dotted name the interpreter gives the extension module being
// initialised (_Py_PackageContext), or null.  PyModule_Create2 reads it.
inline const char* package_context() noexcept { return _Py_PackageContext; }

// Sets the package context; returns the one it replaces.
inline const char* set_package_context(const char* context) noexcept {
  const char* previous = _Py_PackageContext;
#if PY_VERSION_HEX < 0x03070000
  _Py_PackageContext = const_cast<char*>(context);  // a char* in 3.6; never written through
#else
  _Py_PackageContext = context;
#endif
  return previous;
}

// Records a single-phase module made from an extension file with the
// interpreter (its copy for a later import of the same file) and enters it
// in sys.modules.  -1 with an exception set on failure.
inline int record_extension_module(PyObject* module, PyObject* name, PyObject* path) noexcept {
#if PY_VERSION_HEX < 0x03070000
  return _PyImport_FixupExtensionObject(module, name, path);
#else
  return _PyImport_FixupExtensionObject(module, name, path, PyImport_GetModuleDict());
#endif
}

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

// The interpreter's current dlopen flags (what sys.getdlopenflags()
// reports), or -1 with an exception set.  The interpreter state is public
// in 3.6 and 3.7; from 3.8 it is opaque, and sys.getdlopenflags() answers.
int interpreter_dlopen_flags() noexcept;

}  // namespace smsline

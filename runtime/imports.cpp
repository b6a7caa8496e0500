// The kept-__import__ import and the from-import rule with its submodule fallback.
#include "runtime/imports.h"

#include "runtime/builtins_hook.h"
#include "runtime/calls.h"
#include "runtime/shared_values.h"

namespace smsline {

namespace {

// The level 0 of absolute imports, made by the first import and kept for the
// process.  (Set by a plain test rather than as a dynamically initialised
// local static, whose guard would come from the C++ runtime.)
PyObject* zero_level() noexcept {
  static PyObject* zero = nullptr;
  if (zero == nullptr) zero = PyLong_FromLong(0);
  return zero;
}

// The package a module belongs to: its __package__, else its spec's parent,
// else its __name__.  Null (without an exception) when none is text.
Ref package_of(PyObject* module) noexcept {
  Ref package = Ref::steal(PyObject_GetAttr(module, shared.package));
  if (package && PyUnicode_Check(package.get()) && PyUnicode_GET_LENGTH(package.get()) > 0) return package;
  PyErr_Clear();
  Ref spec = Ref::steal(PyObject_GetAttr(module, shared.spec));
  if (spec && spec.get() != Py_None) {
    Ref parent = Ref::steal(PyObject_GetAttr(spec.get(), shared.parent));
    if (parent && PyUnicode_Check(parent.get()) && PyUnicode_GET_LENGTH(parent.get()) > 0) return parent;
  }
  PyErr_Clear();
  Ref name = Ref::steal(PyObject_GetAttr(module, shared.name));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return Ref();
}

}  // namespace

Ref import_module(PyObject* name, PyObject* globals, PyObject* fromlist) noexcept {
  PyObject* level = zero_level();
  if (level == nullptr) return Ref();
  const Ref import = Ref::borrow(kept_import());
  return call(import.get(), {name, globals, Py_None, fromlist != nullptr ? fromlist : Py_None, level});
}

Ref import_from(PyObject* module, PyObject* name, PyObject* globals) noexcept {
  Ref value = Ref::steal(PyObject_GetAttr(module, name));
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  if (PyModule_Check(module)) {
    PyErr_Clear();
    if (Ref package = package_of(module)) {
      Ref submodule_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
      if (!submodule_name) return Ref();
      Ref imported = import_module(submodule_name.get(), globals, nullptr);
      if (!imported) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
        PyErr_Clear();
      }
      PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), submodule_name.get());
      if (found != nullptr) return Ref::borrow(found);
      if (PyErr_Occurred()) return Ref();
    }
    value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%U'", name);
  return Ref();
}

}  // namespace smsline

// Starting the modules of the table: trigger rows, native init rows, code-store rows, frozen modules.
#include <cstdio>
#include <cstring>

#include "loader/registry.h"
#include "runtime/compat/extension_loading.h"
#include "runtime/compat/frozen_modules.h"
#include "runtime/ref.h"
#include "runtime/shared_object_path.h"
#include "runtime/shared_values.h"

namespace smsline {

namespace {

// Runs the row named `name` + `suffix`, if the table has one, as a module of
// that name.  True when no exception is set afterwards.  The name is formed
// in a buffer of 2048 bytes, as long as a row name can be: a longer one
// names no row.
bool run_trigger_module(const char* name, const char* suffix) noexcept {
  char trigger[2048];
  const int length = std::snprintf(trigger, sizeof trigger, "%s%s", name, suffix);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof trigger) return true;
  if (find_row(trigger) == nullptr) return true;
  Ref trigger_name = Ref::steal(PyUnicode_FromStringAndSize(trigger, length));
  if (!trigger_name) return false;
  Ref module = Ref::steal(new_module_object(trigger_name.get()));
  if (!module) return false;
  Ref result = Ref::steal(load_embedded_module(module.get(), trigger_name.get()));
  return !PyErr_Occurred();
}

// A row whose code is a serialized code object in the code store: run it
// as the module's code.
PyObject* load_code_row(PyObject* module, PyObject* name, const char* utf8_name, const EmbeddedModuleEntry* row) noexcept {
  if (registered_code_store == nullptr) {
    PyErr_Format(PyExc_ImportError, "no code store holds the code of module '%s'", utf8_name);
    return nullptr;
  }
  Ref code = Ref::steal(PyMarshal_ReadObjectFromString(
      reinterpret_cast<const char*>(registered_code_store[row->code_index]), row->code_size));
  if (!code) return nullptr;
  if (PyDict_SetItem(PyImport_GetModuleDict(), name, module) < 0) return nullptr;

  Ref dot = Ref::steal(PyUnicode_FromString("."));
  Ref slash = Ref::steal(PyUnicode_FromString("/"));
  Ref relative = Ref::steal(dot && slash ? PyUnicode_Replace(name, dot.get(), slash.get(), -1) : nullptr);
  const char* relative_text = relative ? PyUnicode_AsUTF8(relative.get()) : nullptr;
  if (relative_text == nullptr) return nullptr;
  Ref directory = Ref::steal(path_beside_shared_object(relative_text));
  if (!directory) return nullptr;
  Ref file_name;
  if (row->flags & MODULE_FLAG_PACKAGE) {
    Ref path = Ref::steal(PyList_New(1));
    if (!path) return nullptr;
    PyList_SET_ITEM(path.get(), 0, directory.copy().release());
    if (PyObject_SetAttr(module, shared.path, path.get()) < 0) return nullptr;
    if (PyObject_SetAttr(module, shared.package, name) < 0) return nullptr;
    file_name = Ref::steal(PyUnicode_FromFormat("%U/__init__", directory.get()));
  } else {
    file_name = directory.copy();
  }
  if (!file_name) return nullptr;
  const char* file_text = PyUnicode_AsUTF8(file_name.get());
  if (file_text == nullptr) return nullptr;
  return PyImport_ExecCodeModuleEx(utf8_name, code.get(), file_text);
}

// A row with a native init function.
PyObject* load_init_row(PyObject* module, PyObject* name, EmbeddedModuleEntry* row) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  if (PyDict_SetItem(modules, name, module) < 0) return nullptr;
  // Held while its spec is read: that can run code which drops the
  // module's other references.
  const Ref started = Ref::borrow(row->init(module, row));
  if (started) {
    // A module whose __spec__ cannot be read fails the load with that error.
    Ref spec = Ref::steal(PyObject_GetAttr(started.get(), shared.spec));
    if (spec && spec.get() != Py_None && PyObject_HasAttr(spec.get(), shared.initializing)) {
      PyObject_SetAttr(spec.get(), shared.initializing, Py_False);
    }
  }
  if (PyErr_Occurred()) return nullptr;
  PyObject* result = PyDict_GetItemWithError(modules, name);
  if (result == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    return nullptr;
  }
  Py_INCREF(result);
  return result;
}

}  // namespace

PyObject* load_embedded_module(PyObject* module, PyObject* name) noexcept {
  Py_ssize_t size = 0;
  const char* utf8_name = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8_name == nullptr) return nullptr;
  // A name holding a NUL character would match a row by its first part.
  if (std::strlen(utf8_name) != static_cast<std::size_t>(size)) Py_RETURN_NONE;
  if (EmbeddedModuleEntry* row = find_row(utf8_name)) {
    if (!run_trigger_module(utf8_name, "-preLoad")) return nullptr;
    Ref result = Ref::steal((row->flags & MODULE_FLAG_CODE) ? load_code_row(module, name, utf8_name, row)
                                                            : load_init_row(module, name, row));
    if (!result) return nullptr;
    if (!run_trigger_module(utf8_name, "-postLoad")) return nullptr;
    return result.release();
  }
  if (is_frozen_module(utf8_name)) {
    if (!run_trigger_module(utf8_name, "-preLoad")) return nullptr;
    const int status = PyImport_ImportFrozenModule(utf8_name);
    if (status < 0) return nullptr;
    if (status == 0) Py_RETURN_NONE;
    PyObject* result = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (result == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
      return nullptr;
    }
    Ref kept = Ref::borrow(result);
    if (!run_trigger_module(utf8_name, "-postLoad")) return nullptr;
    return kept.release();
  }
  Py_RETURN_NONE;
}

}  // namespace smsline

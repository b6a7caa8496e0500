// The builtins hook: kept built-ins that follow assignments on the `builtins` module.
#include "runtime/builtins_hook.h"

#include <cstdlib>

#include "runtime/compat/extension_loading.h"
#include "runtime/ref.h"

namespace smsline {

PyObject* builtins_module = nullptr;
PyObject* builtins_dict = nullptr;

namespace {

// One built-in that the runtime calls by its own reference.  Filled from the
// builtins dictionary at first use, or by an assignment on `builtins`.
struct KeptBuiltin {
  const char* name;
  PyObject* value;  // owned; null until first use or assignment
};

KeptBuiltin kept_import_builtin = {"__import__", nullptr};
KeptBuiltin kept_open_builtin = {"open", nullptr};
KeptBuiltin kept_print_builtin = {"print", nullptr};

KeptBuiltin* const kept_builtins[] = {&kept_import_builtin, &kept_open_builtin, &kept_print_builtin};

PyObject* kept_value(KeptBuiltin& kept) noexcept {
  if (kept.value == nullptr) {
    Ref name = Ref::steal(PyUnicode_FromString(kept.name));
    if (!name) exit_runtime_unusable();
    kept.value = Ref::borrow(builtin_or_exit(name.get())).release();
  }
  return kept.value;
}

// Attribute assignment on the builtins module: an assignment to one of the
// kept names replaces our reference too, then proceeds as usual.  Deleting
// such a name keeps our reference, so the runtime stays usable.
int builtins_module_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  if (value != nullptr && PyUnicode_Check(name)) {
    for (KeptBuiltin* kept : kept_builtins) {
      if (PyUnicode_CompareWithASCIIString(name, kept->name) == 0) {
        Py_INCREF(value);
        Py_XSETREF(kept->value, value);
        break;
      }
    }
  }
  return PyObject_GenericSetAttr(self, name, value);
}

// A subtype of the module type that differs only in attribute assignment.
// Everything else (size, dealloc, collector support) is inherited.
PyTypeObject builtins_module_type = [] {
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "module";
  type.tp_setattro = builtins_module_setattro;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = nullptr;
  return type;
}();

bool builtins_hook_installed = false;  // set when duty 1 first runs

}  // namespace

bool install_builtins_hook() noexcept {
  if (builtins_hook_installed) return true;
  builtins_hook_installed = true;
  // Taken from the interpreter's own record of its modules, not imported:
  // an import goes through builtins.__import__, which the user may have
  // replaced with one that refuses, or deleted.  Without the module the
  // runtime cannot work at all.
  PyObject* modules = interpreter_modules();
  Ref module = Ref::borrow(modules != nullptr ? PyDict_GetItemString(modules, "builtins") : nullptr);
  if (!module || !PyModule_Check(module.get()) || PyModule_GetDict(module.get()) == nullptr) {
    PyErr_SetString(PyExc_ImportError, "the interpreter has no builtins module");
    exit_runtime_unusable();
  }
  builtins_module = module.release();
  builtins_dict = PyModule_GetDict(builtins_module);
  builtins_module_type.tp_base = &PyModule_Type;
  if (PyType_Ready(&builtins_module_type) < 0) return false;
  if (Py_TYPE(builtins_module) == &PyModule_Type) Py_SET_TYPE(builtins_module, &builtins_module_type);
  return true;
}

PyObject* kept_import() noexcept { return kept_value(kept_import_builtin); }
PyObject* kept_open() noexcept { return kept_value(kept_open_builtin); }

PyObject* builtin_or_exit(PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(builtins_dict, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    exit_runtime_unusable();
  }
  return value;
}

void exit_runtime_unusable() noexcept {
  PyErr_PrintEx(0);
  Py_Exit(1);
  std::abort();  // Py_Exit does not return
}

}  // namespace smsline

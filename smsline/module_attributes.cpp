// The standard attributes that the package body and the submodule body give their modules.
#include "smsline/module_attributes.h"

#include "loader/module_table.h"
#include "runtime/builtins_hook.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

bool set_module_attributes(PyObject* module, PyObject* dict, PyObject* package, PyObject* file) noexcept {
  if (package != nullptr && PyDict_SetItem(dict, shared.package, package) < 0) return false;
  if (PyDict_GetItemWithError(dict, shared.builtins) == nullptr) {
    if (PyErr_Occurred() || PyDict_SetItem(dict, shared.builtins, builtins_dict) < 0) return false;
  }
  if (PyDict_SetItem(dict, shared.loader, embedded_loader_type()) < 0) return false;
  PyObject* bootstrap = importlib_bootstrap();
  if (bootstrap == nullptr) return false;
  Ref spec = Ref::steal(PyObject_CallMethod(bootstrap, "_spec_from_module", "O", module));
  if (!spec || PyObject_SetAttr(spec.get(), shared.initializing, Py_True) < 0 ||
      PyDict_SetItem(dict, shared.spec, spec.get()) < 0) {
    return false;
  }
  return PyDict_SetItem(dict, shared.doc, Py_None) == 0 && PyDict_SetItem(dict, shared.file, file) == 0;
}

}  // namespace smsline

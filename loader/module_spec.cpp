// Module specs handed out by the loader, built through importlib's ModuleSpec.
#include "loader/module_table.h"
#include "runtime/ref.h"

namespace smsline {

namespace {

// importlib._bootstrap and its ModuleSpec, fetched at first use and kept.
PyObject* bootstrap_module = nullptr;
PyObject* module_spec_class = nullptr;

}  // namespace

PyObject* importlib_bootstrap() noexcept {
  if (bootstrap_module == nullptr) bootstrap_module = PyImport_ImportModule("importlib._bootstrap");
  return bootstrap_module;
}

PyObject* make_module_spec(PyObject* name, bool is_package) noexcept {
  if (module_spec_class == nullptr) {
    PyObject* bootstrap = importlib_bootstrap();
    if (bootstrap == nullptr) return nullptr;
    module_spec_class = PyObject_GetAttrString(bootstrap, "ModuleSpec");
    if (module_spec_class == nullptr) return nullptr;
  }
  ternaryfunc call = Py_TYPE(module_spec_class)->tp_call;
  if (call == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(module_spec_class)->tp_name);
    return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(2, name, embedded_loader_type()));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!args || !kwargs ||
      PyDict_SetItemString(kwargs.get(), "is_package", is_package ? Py_True : Py_False) < 0) {
    return nullptr;
  }
  PyObject* spec = call(module_spec_class, args.get(), kwargs.get());
  if (spec != nullptr) {
    if (PyErr_Occurred()) PyErr_Clear();
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in CALL_FUNCTION");
  }
  return spec;
}

}  // namespace smsline

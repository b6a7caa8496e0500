// Module specs handed out by the loader, built through importlib's ModuleSpec.
#include "loader/module_table.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

namespace {

// importlib._bootstrap and its ModuleSpec, fetched at first use and kept.
PyObject* bootstrap_module = nullptr;
PyObject* module_spec_class = nullptr;

// Package name (str) -> (code file path, tuple of directories), as the
// package bodies recorded them.  Made at the first record; never emptied.
PyObject* package_locations = nullptr;

}  // namespace

bool record_package_location(PyObject* name, PyObject* file, PyObject* directories) noexcept {
  if (package_locations == nullptr && (package_locations = PyDict_New()) == nullptr) return false;
  Ref copied = Ref::steal(PySequence_Tuple(directories));
  Ref location = Ref::steal(copied ? PyTuple_Pack(2, file, copied.get()) : nullptr);
  return location && PyDict_SetItem(package_locations, name, location.get()) == 0;
}

PyObject* make_package_spec(PyObject* name) noexcept {
  Ref spec = Ref::steal(make_module_spec(name, true));
  if (!spec || package_locations == nullptr) return spec.release();
  // The name may be a str subclass whose __eq__ runs code: the location is
  // held before anything else happens.
  const Ref location = Ref::borrow(PyDict_GetItemWithError(package_locations, name));
  if (!location) return PyErr_Occurred() ? nullptr : spec.release();
  Ref directories = Ref::steal(PySequence_List(PyTuple_GET_ITEM(location.get(), 1)));
  if (!directories || PyObject_SetAttr(spec.get(), shared.origin, PyTuple_GET_ITEM(location.get(), 0)) < 0 ||
      PyObject_SetAttr(spec.get(), shared.has_location, Py_True) < 0 ||
      PyObject_SetAttr(spec.get(), shared.search_locations, directories.get()) < 0) {
    return nullptr;
  }
  return spec.release();
}

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

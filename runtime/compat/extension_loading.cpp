// The interpreter's record of extension modules and its dlopen flags on each interpreter version.
#include "runtime/compat/extension_loading.h"

#include "runtime/ref.h"

namespace smsline {

#if PY_VERSION_HEX >= 0x030C0000
const char* loader_package_context = nullptr;
#endif

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
namespace {

// Full module name (str) -> path (str) of each extension file whose module
// record_extension_module recorded with the interpreter; made at the first
// record, entries never removed (nor are the interpreter's).
PyObject* recorded_files = nullptr;

// The attribute `attribute` of the module `module`, imported; null with an
// exception set.  The attribute's name is interned: the interpreter's
// attribute cache keeps alive each name it is asked for.
Ref module_attribute(const char* module, const char* attribute) noexcept {
  Ref imported = Ref::steal(PyImport_ImportModule(module));
  Ref name = Ref::steal(PyUnicode_InternFromString(attribute));
  return imported && name ? Ref::steal(PyObject_GetAttr(imported.get(), name.get())) : Ref();
}

// Whether `name` was recorded from the file `path`.  Never sets an exception.
bool recorded_from(PyObject* name, PyObject* path) noexcept {
  if (recorded_files == nullptr) return false;
  PyObject* recorded = PyDict_GetItemWithError(recorded_files, name);
  if (recorded == nullptr) {
    PyErr_Clear();
    return false;
  }
  // Both are exact str (ours): the comparison runs no code.
  return PyUnicode_Check(path) && PyUnicode_Compare(recorded, path) == 0;
}

}  // namespace
#endif

int record_extension_module(PyObject* module, PyObject* name, [[maybe_unused]] PyObject* path) noexcept {
#if PY_VERSION_HEX < 0x03070000
  return _PyImport_FixupExtensionObject(module, name, path);
#elif PY_VERSION_HEX < 0x030B0000
  return _PyImport_FixupExtensionObject(module, name, path, PyImport_GetModuleDict());
#elif PY_VERSION_HEX < 0x030D0000
  if (_PyImport_FixupExtensionObject(module, name, path, PyImport_GetModuleDict()) < 0) return -1;
  if (recorded_files == nullptr && (recorded_files = PyDict_New()) == nullptr) return -1;
  return PyDict_SetItem(recorded_files, name, path);
#else
  return PyDict_SetItem(PyImport_GetModuleDict(), name, module);
#endif
}

Ref recorded_extension_module([[maybe_unused]] PyObject* name, [[maybe_unused]] PyObject* path) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  // A reference the interpreter's module dictionary holds (borrowed).  3.10
  // marks the look-up deprecated; it is still the one way to it there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return Ref::borrow(_PyImport_FindExtensionObject(name, path));
#pragma GCC diagnostic pop
#elif PY_VERSION_HEX < 0x030D0000
  if (!recorded_from(name, path)) return Ref();
  // The interpreter's loader reads a ModuleSpec's name and origin, and looks the pair up in
  // its record first.
  Ref spec_type = module_attribute("importlib.machinery", "ModuleSpec");
  Ref spec = spec_type ? Ref::steal(PyObject_CallFunctionObjArgs(spec_type.get(), name, Py_None, nullptr)) : Ref();
  Ref origin = Ref::steal(PyUnicode_InternFromString("origin"));
  if (!spec || !origin || PyObject_SetAttr(spec.get(), origin.get(), path) < 0) return Ref();
  Ref create_dynamic = module_attribute("_imp", "create_dynamic");
  return create_dynamic ? Ref::steal(PyObject_CallFunctionObjArgs(create_dynamic.get(), spec.get(), nullptr)) : Ref();
#else
  return Ref();
#endif
}

int interpreter_dlopen_flags() noexcept {
#if PY_VERSION_HEX < 0x03080000
  return PyThreadState_Get()->interp->dlopenflags;
#else
  // Held for the call: the call could rebind it in sys.
  const Ref getter = Ref::borrow(PySys_GetObject("getdlopenflags"));
  if (!getter) {
    PyErr_SetString(PyExc_RuntimeError, "lost sys.getdlopenflags");
    return -1;
  }
  Ref flags = Ref::steal(PyObject_CallObject(getter.get(), nullptr));
  if (!flags) return -1;
  const long value = PyLong_AsLong(flags.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  return static_cast<int>(value);
#endif
}

}  // namespace smsline

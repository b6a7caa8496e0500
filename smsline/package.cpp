// The entry point PyInit_smsline and the package body of smsline.
#include "smsline/package.h"

#include <cstdlib>
#include <cstring>

#include "runtime/calls.h"
#include "runtime/code_objects.h"
#include "runtime/compat/extension_loading.h"
#include "runtime/compat/thread_state.h"
#include "runtime/frames.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"
#include "smsline/module_attributes.h"

namespace smsline {

namespace {

// The dotted name the package is created under: "smsline", or the full name
// the interpreter's package context gives when it loads us inside an outer
// package (taken at every entry-point call that finds the context set).
// Owned, unless it is the initial literal.
const char* package_full_name = "smsline";
bool package_full_name_owned = false;

// Takes `context` as the package's full name.  False with an exception set.
bool take_package_full_name(const char* context) noexcept {
  if (std::strcmp(context, package_full_name) == 0) return true;
  const std::size_t size = std::strlen(context) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, context, size);
  // The module creation copies the name: nothing else points at the old one.
  if (package_full_name_owned) std::free(const_cast<char*>(package_full_name));
  package_full_name = copy;
  package_full_name_owned = true;
  return true;
}

// Created from this definition; its name is written just before each creation.
PyModuleDef package_module_def = {
    PyModuleDef_HEAD_INIT,
    nullptr, /* m_name */
    nullptr, /* m_doc */
    // m_size: the package's state is this file's process-wide state, and
    // the module has none of its own.  Not -1: for such a module the
    // interpreter keeps a copy of its dictionary and gives another
    // interpreter that imports the package that copy, the main
    // interpreter's objects, without calling the entry point (3.13 even
    // runs the entry point in the main interpreter for it).  With 0 it
    // calls the entry point, which refuses there.
    0,       /* m_size */
    nullptr, /* m_methods */
    nullptr, /* m_slots */
    nullptr, /* m_traverse */
    nullptr, /* m_clear */
    nullptr, /* m_free */
};

// The package module last created by the entry point or last handed to
// init_package_from_table.  Owned.
PyObject* package_module = nullptr;

// Set as the very first act of the package body, never cleared.
bool package_body_started = false;

// Values of the package body, made by its first and only run.
struct PackageConstants {
  PyObject* path_attribute;    // "path"
  PyObject* dirname;           // "dirname"
  PyObject* environ;           // "environ"
  PyObject* get;               // "get"
  PyObject* environ_get_args;  // ("TARVIK_PACKAGE_smsline", "/notexist")
  PyObject* zero;              // 0
  PyObject* module_file;       // the package's code file path
  PyCodeObject* code;          // names the package in frames and tracebacks
};
PackageConstants package = {};

bool create_package_constants() noexcept {
  package.path_attribute = interned("path");
  package.dirname = interned("dirname");
  package.environ = interned("environ");
  package.get = interned("get");
  package.environ_get_args = Py_BuildValue("(ss)", "TARVIK_PACKAGE_smsline", "/notexist");
  package.zero = PyLong_FromLong(0);
  return package.path_attribute && package.dirname && package.environ && package.get && package.environ_get_args &&
         package.zero;
}

// Module-frame steps that build __path__ and tie the package directory to
// the loader.  `directories` receives the entries of __path__ as built here,
// before any other code could change the list.  False with an exception set.
bool build_package_path(PyObject* dict, EmbeddedModuleEntry* row, Ref& directories) noexcept {
  // __path__ = [os.path.dirname(file), os.environ.get("TARVIK_PACKAGE_smsline", "/notexist")]
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  if (!os) return false;
  Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), package.path_attribute));
  if (!os_path) return false;
  Ref dirname = Ref::steal(PyObject_GetAttr(os_path.get(), package.dirname));
  if (!dirname) return false;
  Ref directory = Ref::steal(PyObject_CallFunctionObjArgs(dirname.get(), package.module_file, nullptr));
  if (!directory) return false;
  Ref path = Ref::steal(PyList_New(2));
  if (!path) return false;
  PyList_SET_ITEM(path.get(), 0, directory.release());
  os = Ref::steal(PyImport_ImportModule("os"));
  if (!os) return false;
  Ref environ = Ref::steal(PyObject_GetAttr(os.get(), package.environ));
  if (!environ) return false;
  Ref get = Ref::steal(PyObject_GetAttr(environ.get(), package.get));
  if (!get) return false;
  Ref configured = Ref::steal(PyObject_Call(get.get(), package.environ_get_args, nullptr));
  if (!configured) return false;
  PyList_SET_ITEM(path.get(), 1, configured.release());
  directories = Ref::steal(PyList_AsTuple(path.get()));
  if (!directories || PyDict_SetItem(dict, shared.path, path.get()) < 0) return false;

  // sys.path_importer_cache[__path__[0]] = a loader instance
  Ref loader = Ref::steal(new_loader_instance(row));
  if (!loader) return false;
  // Held: reading __path__ back and subscripting it can run code that
  // removes the cache from sys.
  const Ref importer_cache = Ref::borrow(PySys_GetObject("path_importer_cache"));
  if (!importer_cache) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "lost sys.path_importer_cache");
    return false;
  }
  Ref stored_path = dict_item(dict, shared.path);
  if (!stored_path) return false;
  Ref first = Ref::steal(PyList_CheckExact(stored_path.get()) && PyList_GET_SIZE(stored_path.get()) > 0
                             ? Ref::borrow(PyList_GET_ITEM(stored_path.get(), 0)).release()
                             : PyObject_GetItem(stored_path.get(), package.zero));
  if (!first) return false;
  if (PyDict_SetItem(importer_cache.get(), first.get(), loader.get()) < 0) return false;

  // The module spec gets its location now that the package has one.
  Ref spec = dict_item(dict, shared.spec);
  if (!spec || PyObject_SetAttr(spec.get(), shared.origin, package.module_file) < 0) return false;
  spec = dict_item(dict, shared.spec);
  if (!spec || PyObject_SetAttr(spec.get(), shared.has_location, Py_True) < 0) return false;
  Ref search_locations = dict_item(dict, shared.path);
  spec = search_locations ? dict_item(dict, shared.spec) : Ref();
  return spec && PyObject_SetAttr(spec.get(), shared.search_locations, search_locations.get()) == 0;
}

// The package body, run once per process.  Returns the package module or
// null with an exception set.
PyObject* run_package_body(EmbeddedModuleEntry* row) noexcept {
  package_body_started = true;
  if (!run_startup_duties()) return nullptr;
  if (!create_package_constants()) return nullptr;
  package.module_file = path_beside_shared_object("smsline/__init__");
  if (package.module_file == nullptr) return nullptr;
  package.code = make_code("<module smsline>", package.module_file, 1, 1, 0, PyTuple_New(0), CODE_FLAGS_MODULE);
  if (package.code == nullptr) return nullptr;

  // The module is held for the body: code that the body runs can start the
  // package again, which replaces package_module.
  const Ref module = Ref::borrow(package_module);
  PyObject* dict = PyModule_GetDict(module.get());
  if (dict == nullptr) return nullptr;
  Ref name = dict_item(dict, shared.name);
  if (!name || !set_module_attributes(module.get(), dict, name.get(), package.module_file)) return nullptr;

  // Steps that can fail for reasons outside us run in the package frame, at
  // line 1, so that a failure names the package in its traceback.
  ActiveFrame frame;
  if (!frame.enter_new(package.code, dict)) return nullptr;
  Ref directories;
  if (!frame.mark(1) || !build_package_path(dict, row, directories)) return frame.fail(1);
  if (!frame.leave(Py_None)) return nullptr;
  // The loader's spec for the package carries its location from now on.
  if (!record_package_location(name.get(), package.module_file, directories.get())) return nullptr;

  if (PyDict_SetItem(dict, shared.cached, Py_None) < 0) return nullptr;
  return module.copy().release();
}

}  // namespace

PyObject* init_package_from_table(PyObject* module, EmbeddedModuleEntry* row) noexcept {
  Py_INCREF(module);
  Py_XSETREF(package_module, module);
  if (package_body_started) return module;
  PyObject* result = run_package_body(row);
  Py_XDECREF(result);  // the loader reads the module back from sys.modules
  return result;
}

namespace {

// The rest of PyInit_smsline, for the package module just created (a
// reference the call takes).
PyObject* init_package(PyObject* module) noexcept {
  // Registered before anything else runs, so that imports made by the
  // start-up find the package.
  if (Ref name = Ref::steal(PyUnicode_FromString(package_full_name))) {
    if (PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module) < 0) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  Py_INCREF(module);
  Py_XSETREF(package_module, module);
  if (package_body_started) return module;
  PyObject* result = run_package_body(nullptr);
  Py_DECREF(module);
  return result;
}

}  // namespace

}  // namespace smsline

using namespace smsline;

PyObject* PyInit_smsline(void) {
  // Everything the package keeps is process-wide and belongs to the main
  // interpreter (the module table and the loader it registered, the
  // functions' frames and caches, the monitoring tools read at start-up).
  // Any other interpreter is refused before any of it is touched, so that
  // what the main interpreter can import is the same whichever imports
  // first.
  if (!in_main_interpreter()) {
    const char* const name = package_context() != nullptr ? package_context() : package_full_name;
    Ref name_object = Ref::steal(PyUnicode_FromString(name));
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "module %s does not support loading in subinterpreters: its state belongs to the whole process; "
        "import it in the main interpreter",
        name));
    if (name_object && message) PyErr_SetImportError(message.get(), name_object.get(), nullptr);
    return nullptr;
  }
  if (package_context() != nullptr && !take_package_full_name(package_context())) return nullptr;
  package_module_def.m_name = package_full_name;
  PyObject* module = PyModule_Create2(&package_module_def, PYTHON_API_VERSION);
  if (module == nullptr) return nullptr;
  // Where the interpreter's package context is its own, the name it gave
  // the module is the full name, and the context for the rest of the
  // initialisation (the loader's rows take it).
  const char* const resolved = resolved_module_name(module);
  if (resolved != nullptr && !take_package_full_name(resolved)) {
    Py_DECREF(module);
    return nullptr;
  }
  package_module_def.m_name = package_full_name;
  const char* const previous_context = resolved != nullptr ? set_package_context(package_full_name) : nullptr;
  PyObject* result = init_package(module);
  if (resolved != nullptr) set_package_context(previous_context);
  return result;
}

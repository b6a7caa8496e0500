// Extension-module files lying in the package's directories: the scan that finds them and their loading.
#include "loader/extension_files.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "loader/module_table.h"
#include "runtime/compat/extension_loading.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

namespace {

// Full module name (str) -> path (str) of the extension file found for it.
// Made at the first scan that finds a file; entries are never removed, so a
// later exec_module or load_module of that name goes straight to the file.
PyObject* extension_module_paths = nullptr;

// os.listdir, fetched at its first use and kept.
PyObject* cached_listdir = nullptr;

// The file-name suffixes of extension modules in the interpreter's order of
// preference (importlib.machinery.EXTENSION_SUFFIXES), as a list of str
// copied at the first scan with candidates and kept.
PyObject* extension_suffixes = nullptr;

// The candidates of a scan are a list of 3-tuples for the files of the
// package directories whose name is the module's last name part, "." and a
// rest that may be an extension suffix: (directory, item, rest), where rest
// is the item after the last name part (".so", ".abi3.so", ...).
enum CandidateField { CANDIDATE_DIRECTORY, CANDIDATE_ITEM, CANDIDATE_REST };

// The largest symbol name formed ("PyInit_" and the last name part).
constexpr std::size_t SYMBOL_BUFFER_SIZE = 1024;

// os.listdir (borrowed), or null with an exception set.
PyObject* listdir_function() noexcept {
  if (cached_listdir == nullptr) {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return nullptr;
    cached_listdir = PyObject_GetAttrString(os.get(), "listdir");
  }
  return cached_listdir;
}

// The extension suffixes (borrowed), or null with an exception set; a
// failure leaves nothing cached, so the next scan asks again.
PyObject* suffix_list() noexcept {
  if (extension_suffixes != nullptr) return extension_suffixes;
  Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
  if (!machinery) return nullptr;
  Ref listed = Ref::steal(PyObject_GetAttrString(machinery.get(), "EXTENSION_SUFFIXES"));
  if (!listed) return nullptr;
  Ref sequence = Ref::steal(PySequence_Fast(listed.get(), "importlib.machinery.EXTENSION_SUFFIXES must be a sequence"));
  if (!sequence) return nullptr;
  Ref suffixes = Ref::steal(PyList_New(0));
  if (!suffixes) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* suffix = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(suffix)) continue;
    if (PyList_Append(suffixes.get(), suffix) < 0) return nullptr;
  }
  extension_suffixes = suffixes.release();
  return extension_suffixes;
}

// Adds the candidates of one __path__ directory to the list `candidates`.  A
// directory that cannot be listed (missing, not a directory, unreadable) is
// skipped: its error is cleared.  False with an exception set when a
// candidate cannot be made.
bool collect_candidates(PyObject* directory, PyObject* last_part, PyObject* candidates) noexcept {
  PyObject* listdir = listdir_function();
  Ref items = Ref::steal(listdir != nullptr ? PyObject_CallFunctionObjArgs(listdir, directory, nullptr) : nullptr);
  if (!items || !PyList_Check(items.get())) {
    PyErr_Clear();
    return true;
  }
  const Py_ssize_t part_length = PyUnicode_GET_LENGTH(last_part);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
    if (!PyUnicode_CheckExact(item.get()) || PyUnicode_READY(item.get()) < 0) {
      PyErr_Clear();
      continue;
    }
    const Py_ssize_t item_length = PyUnicode_GET_LENGTH(item.get());
    if (item_length <= part_length || PyUnicode_READ_CHAR(item.get(), part_length) != '.') continue;
    const Py_ssize_t starts_with = PyUnicode_Tailmatch(item.get(), last_part, 0, part_length, -1);
    if (starts_with < 0) return false;
    if (starts_with == 0) continue;
    Ref rest = Ref::steal(PyUnicode_Substring(item.get(), part_length, item_length));
    Ref candidate = Ref::steal(rest ? PyTuple_Pack(3, directory, item.get(), rest.get()) : nullptr);
    if (!candidate || PyList_Append(candidates, candidate.get()) < 0) return false;
  }
  return true;
}

// The path of the first candidate in suffix order, then candidate order, or
// null: with an exception set when the comparison or the path failed.
Ref choose_candidate(PyObject* candidates, PyObject* suffixes) noexcept {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(suffixes); ++i) {
    Ref suffix = Ref::borrow(PyList_GET_ITEM(suffixes, i));
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(candidates); ++j) {
      const Ref held = Ref::borrow(PyList_GET_ITEM(candidates, j));
      PyObject* candidate = held.get();
      const int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(candidate, CANDIDATE_REST), suffix.get(), Py_EQ);
      if (equal < 0) return Ref();
      if (equal == 0) continue;
      Ref with_separator = Ref::steal(PyUnicode_FromString("/"));
      if (with_separator) {
        with_separator =
            Ref::steal(PyUnicode_Concat(PyTuple_GET_ITEM(candidate, CANDIDATE_DIRECTORY), with_separator.get()));
      }
      if (!with_separator) return Ref();
      return Ref::steal(PyUnicode_Concat(with_separator.get(), PyTuple_GET_ITEM(candidate, CANDIDATE_ITEM)));
    }
  }
  return Ref();
}

int scan_package_directories(const char* name, const char* package) noexcept {
  // Held: reading __path__ can run code that takes it out of sys.modules.
  const Ref package_module = Ref::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), package));
  if (!package_module) return 0;
  Ref directories = Ref::steal(PyObject_GetAttr(package_module.get(), shared.path));
  if (!directories) return 0;
  if (!PyList_Check(directories.get())) return 0;

  const std::size_t package_length = std::strlen(package);
  if (std::strncmp(name, package, package_length) != 0 || name[package_length] != '.') return 0;
  Ref last_part = Ref::steal(PyUnicode_FromString(name + package_length + 1));
  if (!last_part) return 0;

  // The listing runs the interpreter's code, which may change __path__:
  // its length is read again at each step.
  Ref candidates = Ref::steal(PyList_New(0));
  if (!candidates) return 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(directories.get()); ++i) {
    Ref directory = Ref::borrow(PyList_GET_ITEM(directories.get(), i));
    if (!collect_candidates(directory.get(), last_part.get(), candidates.get())) return 0;
  }
  if (PyList_GET_SIZE(candidates.get()) == 0) return 0;

  PyObject* suffixes = suffix_list();
  if (suffixes == nullptr) return 0;
  Ref path = choose_candidate(candidates.get(), suffixes);
  if (!path) return 0;

  if (extension_module_paths == nullptr) {
    extension_module_paths = PyDict_New();
    if (extension_module_paths == nullptr) return 0;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyDict_SetItem(extension_module_paths, key.get(), path.get()) < 0) return 0;
  return 1;
}

// ImportError carrying `message`, the module's name and the file's path, as
// the interpreter raises it for its own extension files.
void set_import_error(PyObject* message, PyObject* name, PyObject* path) noexcept {
  if (message != nullptr) PyErr_SetImportError(message, name, path);
}

// A module definition returned by a multi-phase init function: the module is
// made from the definition and a spec of ours, entered in sys.modules and
// executed.
// A spec for the module of an extension file: ours, located at the file.
// Null with an exception set.
Ref file_module_spec(PyObject* name, PyObject* path) noexcept {
  Ref spec = Ref::steal(make_module_spec(name, false));
  if (!spec || PyObject_SetAttr(spec.get(), shared.origin, path) < 0 ||
      PyObject_SetAttr(spec.get(), shared.has_location, Py_True) < 0) {
    return Ref();
  }
  return spec;
}

// Gives a module loaded from a file the __spec__, __loader__ and __file__
// that the import system gives the modules it creates itself (it does not see this
// one), unless the module set its own.  Nothing here is worth failing the
// load for: an error is cleared.
void set_spec_and_loader(PyObject* module, PyObject* name, PyObject* path, PyObject* spec) noexcept {
  Ref made;
  if (spec == nullptr) {
    made = file_module_spec(name, path);
    spec = made.get();
  }
  struct Attribute {
    PyObject* name;
    PyObject* value;
  };
  for (const Attribute& attribute : {Attribute{shared.spec, spec}, Attribute{shared.loader, embedded_loader_type()},
                                     Attribute{shared.file, path}}) {
    if (attribute.value == nullptr) continue;
    Ref current = Ref::steal(PyObject_GetAttr(module, attribute.name));
    if (!current) PyErr_Clear();
    if ((!current || current.get() == Py_None) && PyObject_SetAttr(module, attribute.name, attribute.value) < 0) {
      PyErr_Clear();
    }
  }
  PyErr_Clear();
}

PyObject* load_from_definition(PyObject* name, PyObject* path, PyModuleDef* definition) noexcept {
  Ref spec = file_module_spec(name, path);
  if (!spec) return nullptr;
  Ref module = Ref::steal(PyModule_FromDefAndSpec2(definition, spec.get(), PYTHON_API_VERSION));
  if (!module) {
    // The creation's own error stays reachable as the cause.
    if (PyErr_Occurred()) {
      _PyErr_FormatFromCause(PyExc_SystemError, "dynamic module '%U' not initialized properly from def", name);
    } else {
      PyErr_Format(PyExc_SystemError, "dynamic module '%U' not initialized properly from def", name);
    }
    return nullptr;
  }
  set_spec_and_loader(module.get(), name, path, spec.get());
  if (PyDict_SetItem(PyImport_GetModuleDict(), name, module.get()) < 0) return nullptr;
  // A failure here leaves the module in sys.modules: the import system
  // removes it when the import fails.
  if (PyModule_ExecDef(module.get(), definition) < 0) return nullptr;
  return module.release();
}

// A module object returned by a single-phase init function: it gets its
// __file__ and is registered with the interpreter, which also enters it in
// sys.modules.
PyObject* register_single_phase(Ref module, PyObject* name, PyObject* path, PyObject* (*init)()) noexcept {
  if (PyModule_Check(module.get())) {
    // The interpreter's record of extension modules calls m_init to make
    // the module anew when the same file is imported again.
    if (PyModuleDef* definition = PyModule_GetDef(module.get())) definition->m_base.m_init = init;
  }
  Py_INCREF(path);
  if (PyModule_AddObject(module.get(), "__file__", path) < 0) {
    Py_DECREF(path);
    PyErr_Clear();
  }
  if (PyModule_Check(module.get())) set_spec_and_loader(module.get(), name, path, nullptr);
  if (record_extension_module(module.get(), name, path) < 0) return nullptr;
  return module.release();
}

PyObject* load_file(PyObject* name, PyObject* path) noexcept {
  // A file loaded before under this name is not initialised again: what
  // the interpreter recorded of its first load comes back, as from the
  // interpreter's own loader.
  if (Ref recorded = recorded_extension_module(name, path)) {
    if (PyModule_Check(recorded.get())) set_spec_and_loader(recorded.get(), name, path, nullptr);
    return recorded.release();
  }
  if (PyErr_Occurred()) return nullptr;
  const char* full_name = PyUnicode_AsUTF8(name);
  if (full_name == nullptr) return nullptr;
  // The file name in the file system's encoding, as os.listdir decoded it.
  Ref encoded_path = Ref::steal(PyUnicode_EncodeFSDefault(path));
  if (!encoded_path) return nullptr;
  const char* path_text = PyBytes_AS_STRING(encoded_path.get());
  const char* last_dot = std::strrchr(full_name, '.');
  char symbol[SYMBOL_BUFFER_SIZE];
  const int symbol_length =
      std::snprintf(symbol, sizeof symbol, "PyInit_%s", last_dot != nullptr ? last_dot + 1 : full_name);
  if (symbol_length < 0 || static_cast<std::size_t>(symbol_length) >= sizeof symbol) {
    PyErr_Format(PyExc_ImportError, "module name too long for an extension file: '%U'", name);
    return nullptr;
  }

  const int flags = interpreter_dlopen_flags();
  if (flags == -1) return nullptr;
  void* handle = dlopen(path_text, flags);
  if (handle == nullptr) {
    const char* error = dlerror();
    Ref message = Ref::steal(PyUnicode_FromString(error != nullptr ? error : "unknown dlopen() error"));
    set_import_error(message.get(), name, path);
    return nullptr;
  }
  // The handle stays open for the life of the process, as the interpreter
  // keeps its own: the module's code lives in it.
  using InitFunction = PyObject* (*)();
  InitFunction init = reinterpret_cast<InitFunction>(dlsym(handle, symbol));
  if (init == nullptr) {
    Ref message = Ref::steal(
        PyUnicode_FromFormat("dynamic module does not define module export function (%s)", symbol));
    set_import_error(message.get(), name, path);
    return nullptr;
  }

  // The init function's module takes the full name from the package context
  // (when its definition's name is our last name part).
  const char* const previous_context = set_package_context(last_dot != nullptr ? full_name : nullptr);
  PyObject* result = init();
  set_package_context(previous_context);
  if (result != nullptr && !PyErr_Occurred() && adopt_package_context(result, full_name) < 0) {
    if (!PyObject_TypeCheck(result, &PyModuleDef_Type)) Py_DECREF(result);
    return nullptr;
  }

  if (result == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_SystemError, "dynamic module '%U' not initialized properly", name);
    }
    return nullptr;
  }
  const bool is_definition = PyObject_TypeCheck(result, &PyModuleDef_Type);
  if (PyErr_Occurred()) {
    // A definition is a static object that the init function does not give
    // us a reference to; a module is ours to release.
    if (!is_definition) Py_DECREF(result);
    PyErr_Clear();
    PyErr_Format(PyExc_SystemError, "initialization of %U raised unreported exception", name);
    return nullptr;
  }
  if (is_definition) return load_from_definition(name, path, reinterpret_cast<PyModuleDef*>(result));
  return register_single_phase(Ref::steal(result), name, path, init);
}

}  // namespace

Ref recorded_extension_path(PyObject* name) noexcept {
  if (extension_module_paths == nullptr) return Ref();
  return Ref::borrow(PyDict_GetItem(extension_module_paths, name));
}

int find_extension_in_package(const char* name, const char* package) noexcept {
  return scan_package_directories(name, package);
}

PyObject* load_extension_file(PyObject* name, PyObject* path) noexcept {
  // The name and a recorded path stay held while the file is loaded: its
  // init function runs code.
  const Ref kept_name = Ref::borrow(name);
  const Ref kept_path = Ref::borrow(path);
  return load_file(kept_name.get(), kept_path.get());
}

}  // namespace smsline

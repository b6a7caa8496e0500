// The loader type tarvik_module_loader: finder and loader methods, instances, registration.
#include <cstring>

#include "loader/extension_files.h"
#include "loader/registry.h"
#include "runtime/builtins_hook.h"
#include "runtime/calls.h"
#include "runtime/compat/extension_loading.h"
#include "runtime/compat/frozen_modules.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

EmbeddedModuleEntry* registered_table = nullptr;
const unsigned char* const* registered_code_store = nullptr;

namespace {

struct LoaderObject {
  PyObject_HEAD
  EmbeddedModuleEntry* row;  // not owned; null: the instance stands for the package
};

// Released instances kept for reuse: at most 11 wait here.  Chained through
// their row field.
LoaderObject* free_instances = nullptr;
int free_instance_count = 0;

extern PyTypeObject loader_type;

PyObject* loader_type_object() noexcept { return reinterpret_cast<PyObject*>(&loader_type); }

PyObject* loader_result() noexcept {
  Py_INCREF(loader_type_object());
  return loader_type_object();
}

// The row the instance serves, or the package row when made without one.
EmbeddedModuleEntry* instance_row(PyObject* self) noexcept {
  EmbeddedModuleEntry* row = reinterpret_cast<LoaderObject*>(self)->row;
  return row != nullptr ? row : first_package_row();
}

// A module name's UTF-8 text, or null with an exception set when it is not
// text.  `ours` is false for a name that holds a NUL character: the table
// compares C strings, which would see only the part before it, so no row,
// frozen module or extension file stands for such a name.
const char* module_name_text(PyObject* fullname, bool& ours) noexcept {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(fullname, &size);
  ours = text != nullptr && std::strlen(text) == static_cast<std::size_t>(size);
  return text;
}

// The package scan for a name that no row serves but whose parent is a
// package row.  1 found, 0 not found (an exception may be set).
int scan_parent_package(const char* name) noexcept {
  EmbeddedModuleEntry* parent = find_parent_row(name);
  if (parent == nullptr) return 0;
  return find_extension_in_package(name, parent->name);
}

PyObject* loader_find_spec(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"fullname", "is_package", "path", nullptr};
  PyObject *argument, *unused1 = nullptr, *unused2 = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:find_spec", const_cast<char**>(keywords), &argument,
                                   &unused1, &unused2)) {
    return nullptr;
  }
  const Ref fullname = Ref::borrow(argument);  // and with it `name`, its text
  bool ours = false;
  const char* name = module_name_text(fullname.get(), ours);
  if (name == nullptr) return nullptr;
  if (!ours) Py_RETURN_NONE;
  if (EmbeddedModuleEntry* row = find_row(name)) {
    if (row->flags & MODULE_FLAG_PACKAGE) return make_package_spec(fullname.get());
    return make_module_spec(fullname.get(), false);
  }
  if (scan_parent_package(name) == 1) return make_module_spec(fullname.get(), false);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* loader_find_module(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"fullname", "unused", nullptr};
  PyObject *argument, *unused = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:find_module", const_cast<char**>(keywords), &argument,
                                   &unused)) {
    return nullptr;
  }
  const Ref fullname = Ref::borrow(argument);  // and with it `name`, its text
  bool ours = false;
  const char* name = module_name_text(fullname.get(), ours);
  if (name == nullptr) return nullptr;
  if (!ours) Py_RETURN_NONE;
  if (find_row(name) != nullptr) return loader_result();
  if (is_frozen_module(name)) return loader_result();
  if (scan_parent_package(name) == 1) return loader_result();
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* loader_create_module(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"spec", nullptr};
  PyObject* spec;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:create_module", const_cast<char**>(keywords), &spec)) {
    return nullptr;
  }
  Ref name = Ref::steal(PyObject_GetAttr(spec, shared.spec_name));
  if (!name) return nullptr;
  return new_module_object(name.get());
}

PyObject* loader_exec_module(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"module", nullptr};
  PyObject* argument;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:exec_module", const_cast<char**>(keywords), &argument)) {
    return nullptr;
  }
  const Ref module = Ref::borrow(argument);
  Ref name = Ref::steal(PyObject_GetAttr(module.get(), shared.name));
  if (!name) return nullptr;
  if (Ref path = recorded_extension_path(name.get())) return load_extension_file(name.get(), path.get());
  return load_embedded_module(module.get(), name.get());
}

PyObject* loader_load_module(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"fullname", "unused", nullptr};
  PyObject *argument, *unused = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:load_module", const_cast<char**>(keywords), &argument,
                                   &unused)) {
    return nullptr;
  }
  const Ref fullname = Ref::borrow(argument);
  bool ours = false;
  if (module_name_text(fullname.get(), ours) == nullptr) return nullptr;
  if (!ours) Py_RETURN_NONE;
  if (Ref path = recorded_extension_path(fullname.get())) return load_extension_file(fullname.get(), path.get());
  Ref module = Ref::steal(new_module_object(fullname.get()));
  if (!module) return nullptr;
  return load_embedded_module(module.get(), fullname.get());
}

PyObject* loader_is_package(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"fullname", nullptr};
  PyObject* fullname;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:is_package", const_cast<char**>(keywords), &fullname)) {
    return nullptr;
  }
  bool ours = false;
  const char* name = module_name_text(fullname, ours);
  if (name == nullptr) return nullptr;
  EmbeddedModuleEntry* row = ours ? find_row(name) : nullptr;
  if (row == nullptr) Py_RETURN_NONE;
  return PyBool_FromLong((row->flags & MODULE_FLAG_PACKAGE) != 0);
}

PyObject* loader_get_data(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"filename", nullptr};
  PyObject* filename;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_data", const_cast<char**>(keywords), &filename)) {
    return nullptr;
  }
  Ref open_kwargs = Ref::steal(Py_BuildValue("{s:O,s:s}", "file", filename, "mode", "rb"));
  if (!open_kwargs) return nullptr;
  const Ref open = Ref::borrow(kept_open());
  Ref file = call(open.get(), {}, open_kwargs.get());
  if (!file) return nullptr;
  Ref contents = Ref::steal(PyObject_CallMethodObjArgs(file.get(), shared.read, nullptr));
  if (!contents) return nullptr;  // the file closes when its object is freed
  // Closed explicitly after a read: a file left to close when freed warns
  // (ResourceWarning).
  Ref closed = Ref::steal(PyObject_CallMethodObjArgs(file.get(), shared.close, nullptr));
  return closed ? contents.release() : nullptr;
}

// The Python text of a module we serve, as an importlib loader's get_source
// gives it: a str for a row that has one, None for a module of ours without
// one (the package, an extension file, a frozen module), ImportError for a
// name we do not serve.
PyObject* loader_get_source(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"fullname", nullptr};
  PyObject* argument;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_source", const_cast<char**>(keywords), &argument)) {
    return nullptr;
  }
  const Ref fullname = Ref::borrow(argument);  // and with it `name`, its text
  bool ours = false;
  const char* name = module_name_text(fullname.get(), ours);
  if (name == nullptr) return nullptr;
  if (ours) {
    if (EmbeddedModuleEntry* row = find_row(name)) {
      if (row->source == nullptr) Py_RETURN_NONE;
      return PyUnicode_DecodeUTF8(row->source, static_cast<Py_ssize_t>(std::strlen(row->source)), nullptr);
    }
    if (is_frozen_module(name) || recorded_extension_path(fullname.get())) Py_RETURN_NONE;
    if (scan_parent_package(name) == 1) Py_RETURN_NONE;
    if (PyErr_Occurred()) return nullptr;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("tarvik_module_loader serves no module named %R", fullname.get()));
  if (!message) return nullptr;
  PyErr_SetImportError(message.get(), fullname.get(), nullptr);
  return nullptr;
}

PyObject* loader_module_repr(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"fullname", "unused", nullptr};
  PyObject *argument, *unused = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:module_repr", const_cast<char**>(keywords), &argument,
                                   &unused)) {
    return nullptr;
  }
  const Ref module = Ref::borrow(argument);
  // The name is kept as the object (PyModule_GetName's text, and its
  // failure for a name without one): looking __file__ up can run code that
  // renames the module and frees the old name.
  Ref name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!name || PyUnicode_AsUTF8(name.get()) == nullptr) return nullptr;
  Ref file = Ref::steal(PyModule_GetFilenameObject(module.get()));
  if (!file) return nullptr;
  return PyUnicode_FromFormat("<module '%U' from %R>", name.get(), file.get());
}

PyObject* loader_iter_modules(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"package", nullptr};
  PyObject* argument;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:iter_modules", const_cast<char**>(keywords), &argument)) {
    return nullptr;
  }
  const Ref prefix = Ref::borrow(argument);  // its truth test can run code
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  EmbeddedModuleEntry* package = instance_row(self);
  if (package == nullptr) return result.release();
  const int use_prefix = PyObject_IsTrue(prefix.get());
  if (use_prefix < 0) return nullptr;
  const std::size_t package_length = std::strlen(package->name);
  for (EmbeddedModuleEntry* row = registered_table; row != nullptr && row->name != nullptr; ++row) {
    if (std::strncmp(row->name, package->name, package_length) != 0 || row->name[package_length] != '.') continue;
    const char* part = row->name + package_length + 1;
    if (*part == '\0' || std::strchr(part, '.') != nullptr) continue;
    Ref name = Ref::steal(PyUnicode_FromString(part));
    if (name && use_prefix) name = Ref::steal(PyUnicode_Concat(prefix.get(), name.get()));
    if (!name) return nullptr;
    Ref item = Ref::steal(PyTuple_Pack(2, name.get(), (row->flags & MODULE_FLAG_PACKAGE) ? Py_True : Py_False));
    if (!item || PyList_Append(result.get(), item.get()) < 0) return nullptr;
  }
  return result.release();
}

PyObject* loader_repr(PyObject* self) noexcept {
  EmbeddedModuleEntry* row = instance_row(self);
  return PyUnicode_FromFormat("<tarvik_module_loader for '%s'>", row != nullptr ? row->name : "");
}

int loader_traverse(PyObject*, visitproc, void*) noexcept { return 0; }

void loader_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  LoaderObject* loader = reinterpret_cast<LoaderObject*>(self);
  if (free_instance_count <= 10) {
    loader->row = reinterpret_cast<EmbeddedModuleEntry*>(free_instances);
    free_instances = loader;
    ++free_instance_count;
  } else {
    PyObject_GC_Del(self);
  }
}

#define LOADER_STATIC_METHOD(name, function)                                                        \
  {                                                                                                 \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),                    \
        METH_VARARGS | METH_KEYWORDS | METH_STATIC, nullptr                                         \
  }

PyMethodDef loader_methods[] = {
    {"iter_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loader_iter_modules)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    LOADER_STATIC_METHOD("get_data", loader_get_data),
    LOADER_STATIC_METHOD("find_module", loader_find_module),
    LOADER_STATIC_METHOD("load_module", loader_load_module),
    LOADER_STATIC_METHOD("is_package", loader_is_package),
    LOADER_STATIC_METHOD("module_repr", loader_module_repr),
    LOADER_STATIC_METHOD("find_spec", loader_find_spec),
    LOADER_STATIC_METHOD("create_module", loader_create_module),
    LOADER_STATIC_METHOD("exec_module", loader_exec_module),
    LOADER_STATIC_METHOD("get_source", loader_get_source),
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyTypeObject loader_type = [] {
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "tarvik_module_loader";                    /* tp_name */
  type.tp_basicsize = sizeof(LoaderObject);                 /* tp_basicsize */
  type.tp_dealloc = loader_dealloc;                         /* tp_dealloc */
  type.tp_repr = loader_repr;                               /* tp_repr */
  type.tp_getattro = PyObject_GenericGetAttr;               /* tp_getattro */
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;  /* tp_flags */
  type.tp_traverse = loader_traverse;                       /* tp_traverse */
  type.tp_methods = loader_methods;                         /* tp_methods */
  return type;
}();

}  // namespace

PyObject* embedded_loader_type() noexcept { return loader_type_object(); }

PyObject* new_loader_instance(EmbeddedModuleEntry* row) noexcept {
  LoaderObject* loader;
  if (free_instances != nullptr) {
    loader = free_instances;
    free_instances = reinterpret_cast<LoaderObject*>(loader->row);
    --free_instance_count;
    _Py_NewReference(reinterpret_cast<PyObject*>(loader));
  } else {
    loader = PyObject_GC_New(LoaderObject, &loader_type);
    if (loader == nullptr) return nullptr;
  }
  loader->row = row;
  PyObject_GC_Track(loader);
  return reinterpret_cast<PyObject*>(loader);
}

void register_embedded_loader(EmbeddedModuleEntry* table, const unsigned char* const* code_store) noexcept {
  if (registered_table != nullptr) return;
  registered_code_store = code_store;
  prefix_rows_for_outer_package(table, package_context());
  registered_table = table;
  // Nothing is reported: without the loader in sys.meta_path the package
  // still imports, and its submodules are simply not found.
  if (PyType_Ready(&loader_type) < 0) {
    PyErr_Clear();
    return;
  }
  PyObject* meta_path = PySys_GetObject("meta_path");
  if (meta_path != nullptr && PyList_Check(meta_path) && PyList_Insert(meta_path, 2, loader_type_object()) < 0) {
    PyErr_Clear();
  }
}

}  // namespace smsline

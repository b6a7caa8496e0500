// The table of modules the shared object contains, and the loader's public operations.
#pragma once

#include <cstdint>

#include "runtime/python.h"

namespace smsline {

struct EmbeddedModuleEntry;

// Starts a module: receives the new module (already in sys.modules under the
// row's name) and the row; returns the module (borrowed; the loader reads
// the result back from sys.modules) or null with an exception set.
using EmbeddedModuleInit = PyObject* (*)(PyObject* module, EmbeddedModuleEntry* row) noexcept;

constexpr std::uint32_t MODULE_FLAG_PACKAGE = 2;  // the module is a package
constexpr std::uint32_t MODULE_FLAG_CODE = 4;     // its code is serialized in the code store

struct EmbeddedModuleEntry {
  const char* name;  // full dotted name; replaced when the table is prefixed
  EmbeddedModuleInit init;
  std::int32_t code_index;  // MODULE_FLAG_CODE rows: index into the code store
  std::int32_t code_size;   // MODULE_FLAG_CODE rows: length of the serialized code
  std::uint32_t flags;
  // The module's Python text (UTF-8, NUL-terminated), which the loader's
  // get_source gives to linecache, tracebacks, pdb and inspect; null when
  // the module has none.
  const char* source = nullptr;
};

// Installs the loader once per process: prefixes the rows when the shared
// object is loaded inside an outer package, readies the loader type and puts
// it at sys.meta_path[2].  A second call does nothing.  Reports nothing.
void register_embedded_loader(EmbeddedModuleEntry* table, const unsigned char* const* code_store) noexcept;

// The loader type object (what stands in sys.meta_path and serves as
// __loader__ of our modules).
PyObject* embedded_loader_type() noexcept;

// A new loader instance bound to `row` (which may be null: it then stands for
// the package), for the path-importer cache.  Null with an exception set.
PyObject* new_loader_instance(EmbeddedModuleEntry* row) noexcept;

// A module spec (name, the loader type, is_package) for a module we serve.
// New reference, or null with an exception set.
PyObject* make_module_spec(PyObject* name, bool is_package) noexcept;

// Records where the package `name` lives, once its body has found out: its
// code file path and the directories of its __path__ as the body computed
// them (copied).  The module spec that find_spec gives for that package from then
// on carries them, so that the package keeps its location and directories
// when the import system makes it anew (a reload, or an import after its
// removal from sys.modules).  False with an exception set.
bool record_package_location(PyObject* name, PyObject* file, PyObject* directories) noexcept;

// The module spec for the package row named `name`: make_module_spec(name, true),
// located as record_package_location recorded, when it did.  New reference,
// or null with an exception set.
PyObject* make_package_spec(PyObject* name) noexcept;

// The module importlib._bootstrap, imported at first use and kept
// (borrowed), or null with an exception set.
PyObject* importlib_bootstrap() noexcept;

// Row lookup in the registered table, by exact byte comparison.
EmbeddedModuleEntry* find_row(const char* name) noexcept;

}  // namespace smsline

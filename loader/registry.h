// The loader's process-wide state, and helpers shared by the loader's files.
#pragma once

#include "loader/module_table.h"

namespace smsline {

// Set once by register_embedded_loader(); null before registration.
extern EmbeddedModuleEntry* registered_table;
extern const unsigned char* const* registered_code_store;

// The first package row whose name is the part of `name` before its last
// ".", or null.
EmbeddedModuleEntry* find_parent_row(const char* name) noexcept;

// The first row flagged as a package: the row a loader instance made
// without a row stands for.
EmbeddedModuleEntry* first_package_row() noexcept;

// Prefixes the rows named after the last part of `context` (and their
// children) with the context's outer packages.
void prefix_rows_for_outer_package(EmbeddedModuleEntry* table, const char* context) noexcept;

// Loads a module of a row, a frozen module, or nothing (None, as a new
// reference).  Null with an exception set.
PyObject* load_embedded_module(PyObject* module, PyObject* name) noexcept;

}  // namespace smsline

// The package module smsline: entry point, package body and the start-up sequence.
#pragma once

#include "loader/module_table.h"
#include "runtime/python.h"
#include "runtime/shared_object_path.h"

namespace smsline {

// The package row's init function: keeps `module` as the package module and
// runs the package body unless it has run before.
PyObject* init_package_from_table(PyObject* module, EmbeddedModuleEntry* row) noexcept;

// The process-wide start-up sequence that every module body runs first.
// False with an exception set when the body must fail (see startup.cpp).
[[nodiscard]] bool run_startup_duties() noexcept;

}  // namespace smsline

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_smsline(void);

// Extension-module files in the package's directories (not yet served: nothing is found).
#include "loader/extension_files.h"

namespace smsline {

PyObject* recorded_extension_path(PyObject*) noexcept { return nullptr; }

int find_extension_in_package(const char*, const char*) noexcept { return 0; }

PyObject* load_extension_file(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_ImportError, "extension files are not supported");
  return nullptr;
}

}  // namespace smsline

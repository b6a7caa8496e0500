// Building the line-mapped, bytecode-free code objects of our modules and functions.
#include "runtime/code_objects.h"

#include <string>

#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

PyCodeObject* make_code(const char* name, PyObject* filename, int first_line, int last_line,
                        int argcount, PyObject* varnames, int flags) noexcept {
  Ref names = Ref::steal(varnames);
  if (!names) return nullptr;
  // One (offset +2, line +1) pair per line after the first.
  std::string table;
  for (int line = first_line; line < last_line; ++line) {
    table.push_back(2);
    table.push_back(1);
  }
  Ref lnotab = Ref::steal(PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())));
  Ref code_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref code_name = Ref::steal(PyUnicode_FromString(name));
  if (!lnotab || !code_bytes || !code_name) return nullptr;
  PyObject* empty = shared.empty_tuple;
  return PyCode_New(argcount, 0, 0, 0, flags, code_bytes.get(), empty, empty, names.get(), empty,
                    empty, filename, code_name.get(), first_line, lnotab.get());
}

}  // namespace smsline

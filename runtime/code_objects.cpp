// Building the line-mapped, bytecode-free code objects of our modules and functions.
#include "runtime/code_objects.h"

#include <opcode.h>

#include "runtime/compat/code_objects.h"
#include "runtime/compat/frames.h"
#include "runtime/frame_jumps.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

PyCodeObject* make_code(const char* name, PyObject* filename, int first_line, int last_line,
                        int argcount, PyObject* varnames, int flags, int body_line) noexcept {
  Ref names = Ref::steal(varnames);
  if (!names) return nullptr;
  Ref line_table =
      Ref::steal(make_line_table(first_line, last_line, body_line > first_line ? body_line : first_line + 1));
  if (!line_table) return nullptr;
  if (PyTuple_GET_SIZE(names.get()) > max_frame_locals) {
    PyErr_SetString(PyExc_SystemError, "too many locals for a frame of ours");
    return nullptr;
  }
  // One instruction (opcode, argument) per line, and from 3.12 one of no line.
  const Py_ssize_t lines =
      (last_line >= first_line ? last_line - first_line + 1 : 1) + (CLEANUP_INSTRUCTION ? 1 : 0);
  Ref code_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 2 * lines));
  if (!code_bytes) return nullptr;
  for (Py_ssize_t i = 0; i < lines; ++i) {
    PyBytes_AS_STRING(code_bytes.get())[2 * i] = static_cast<char>(i == 0 ? FIRST_OPCODE : POP_TOP);
    PyBytes_AS_STRING(code_bytes.get())[2 * i + 1] = 0;
  }
  Ref code_name = Ref::steal(PyUnicode_FromString(name));
  if (!code_bytes || !code_name) return nullptr;
  PyCodeObject* const code = new_code(argcount, flags, code_bytes.get(), names.get(), filename, code_name.get(),
                                      first_line, line_table.get(), shared.empty_tuple);
  if (code == nullptr) return nullptr;
  if (!refuse_jumps_in(code)) {
    Py_DECREF(code);
    return nullptr;
  }
  return code;
}

}  // namespace smsline

// Line tables of our code objects in each interpreter version's format.
#include "runtime/compat/frames.h"

namespace smsline {

PyObject* make_line_table(int first_line, int last_line) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  // No pair for the first line: it is the code object's first line.
  const Py_ssize_t entries = last_line > first_line ? last_line - first_line : 0;
#else
  const Py_ssize_t entries = last_line >= first_line ? last_line - first_line + 1 : 0;
#endif
  PyObject* table = PyBytes_FromStringAndSize(nullptr, 2 * entries);
  if (table == nullptr) return nullptr;
  char* bytes = PyBytes_AS_STRING(table);
  for (Py_ssize_t i = 0; i < entries; ++i) {
    bytes[2 * i] = 2;  // one instruction further
#if PY_VERSION_HEX < 0x030A0000
    bytes[2 * i + 1] = 1;  // one line further
#elif PY_VERSION_HEX < 0x030B0000
    bytes[2 * i + 1] = i == 0 ? 0 : 1;  // the first entry is the first line itself
#else
    // A location entry: 0x80, the kind "line only" (13) << 3, one code unit
    // (length - 1 = 0); then the line delta as a signed varint (0, then +1 = 2).
    bytes[2 * i] = static_cast<char>(0x80 | (13 << 3));
    bytes[2 * i + 1] = i == 0 ? 0 : 2;
#endif
  }
  return table;
}

}  // namespace smsline

// Line tables of our code objects in each interpreter version's format.
#include "runtime/compat/frames.h"

namespace smsline {

#if PY_VERSION_HEX >= 0x030B0000
namespace {

// The line of instruction `index` from 3.11: the first line for the first
// (RESUME), then one line per instruction, but the lines before the body's
// first (a docstring) have no code of their own: their instructions carry
// the body's first line, as a compiled function's instruction after RESUME
// does.
int line_of_instruction(int index, int first_line, int body_line) noexcept {
  if (index == 0) return first_line;
  return first_line + index < body_line ? body_line : first_line + index;
}

// Writes a location entry of one code unit with no columns (0x80, the kind
// "line only" (13) << 3, length - 1 = 0) and the line delta as a signed
// varint (the sign in the lowest bit, 6 bits per byte, 0x40 while more
// follow) to `out` when it is not null; returns its length in bytes.
int location_entry(char* out, int delta) noexcept {
  unsigned value = delta >= 0 ? static_cast<unsigned>(delta) << 1 : (static_cast<unsigned>(-delta) << 1) | 1;
  int length = 0;
  if (out != nullptr) out[length] = static_cast<char>(0x80 | (13 << 3));
  ++length;
  while (value >= 64) {
    if (out != nullptr) out[length] = static_cast<char>(0x40 | (value & 63));
    ++length;
    value >>= 6;
  }
  if (out != nullptr) out[length] = static_cast<char>(value);
  return length + 1;
}

}  // namespace
#endif

PyObject* make_line_table(int first_line, int last_line, [[maybe_unused]] int body_line) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  // No pair for the first line: it is the code object's first line.
  const Py_ssize_t entries = last_line > first_line ? last_line - first_line : 0;
#else
  const Py_ssize_t entries = last_line >= first_line ? last_line - first_line + 1 : 0;
#endif
#if PY_VERSION_HEX >= 0x030B0000
  // Location entries, each a line delta from the entry before (the first
  // from the code object's first line); from 3.12 one more, with no
  // location, for the instruction after the last line (CLEANUP_INSTRUCTION).
  Py_ssize_t size = CLEANUP_INSTRUCTION ? 1 : 0;
  for (int i = 0; i < entries; ++i) {
    const int previous = i == 0 ? first_line : line_of_instruction(i - 1, first_line, body_line);
    size += location_entry(nullptr, line_of_instruction(i, first_line, body_line) - previous);
  }
  PyObject* table = PyBytes_FromStringAndSize(nullptr, size);
  if (table == nullptr) return nullptr;
  char* out = PyBytes_AS_STRING(table);
  for (int i = 0; i < entries; ++i) {
    const int previous = i == 0 ? first_line : line_of_instruction(i - 1, first_line, body_line);
    out += location_entry(out, line_of_instruction(i, first_line, body_line) - previous);
  }
  // The kind "no location" (15), one code unit.
  if (CLEANUP_INSTRUCTION) *out = static_cast<char>(0x80 | (15 << 3));
  return table;
#else
  PyObject* table = PyBytes_FromStringAndSize(nullptr, 2 * entries);
  if (table == nullptr) return nullptr;
  char* bytes = PyBytes_AS_STRING(table);
  for (Py_ssize_t i = 0; i < entries; ++i) {
    bytes[2 * i] = 2;  // one instruction further
#if PY_VERSION_HEX < 0x030A0000
    bytes[2 * i + 1] = 1;  // one line further
#else
    bytes[2 * i + 1] = i == 0 ? 0 : 1;  // the first entry is the first line itself
#endif
  }
  return table;
#endif
}

}  // namespace smsline

// Dictionaries' version tags, as each interpreter version keeps them.
#pragma once

#include <cstdint>

#include "runtime/python.h"

namespace smsline {

// The dictionary's version tag (PEP 509): every change gives the dictionary
// a new, process-unique tag, and no dictionary has tag 0.  A field of the
// dictionary from 3.6 on.
// Deprecated from 3.12 (kept up to date by the interpreter in 3.12 and 3.13).
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// dict[key], or null when it is missing or its lookup fails: the lookup's
// own error (a key's __eq__ or __hash__) dropped, as PyDict_GetItem drops
// it.  For callers with no exception pending, as ours are when they look up:
// from 3.10 PyDict_GetItem saves and restores the error state around every
// lookup (before, only when an error is pending), a cost on each module
// attribute read that the lookup with errors does not pay.
inline PyObject* dict_item_or_null(PyObject* dict, PyObject* key) noexcept {
#if PY_VERSION_HEX < 0x030A0000
  return PyDict_GetItem(dict, key);
#else
  PyObject* const value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) PyErr_Clear();
  return value;
#endif
}

}  // namespace smsline

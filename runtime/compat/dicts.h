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

}  // namespace smsline

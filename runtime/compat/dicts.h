// Dictionaries' version tags, as each interpreter version keeps them.
#pragma once

#include <cstdint>

#include "runtime/python.h"

namespace smsline {

// The dictionary's version tag (PEP 509): every change gives the dictionary
// a new, process-unique tag, and no dictionary has tag 0.  A field of the
// dictionary from 3.6 on.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

}  // namespace smsline

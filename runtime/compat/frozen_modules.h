// The interpreter's tables of frozen modules on each interpreter version.
#pragma once

#include <cstring>

#include "runtime/python.h"

#if PY_VERSION_HEX >= 0x030B0000
// From 3.11 PyImport_FrozenModules holds only what an embedding program
// sets; the interpreter's own frozen modules are in these tables (exported,
// declared in its internal headers).
extern "C" {
extern const struct _frozen* _PyImport_FrozenBootstrap;
extern const struct _frozen* _PyImport_FrozenStdlib;
extern const struct _frozen* _PyImport_FrozenTest;
}
#endif

namespace smsline {

// Whether the interpreter has a frozen module named `name`.
inline bool is_frozen_module(const char* name) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  const struct _frozen* const tables[] = {PyImport_FrozenModules};
#else
  const struct _frozen* const tables[] = {PyImport_FrozenModules, _PyImport_FrozenBootstrap, _PyImport_FrozenStdlib,
                                          _PyImport_FrozenTest};
#endif
  for (const struct _frozen* entry : tables) {
    for (; entry != nullptr && entry->name != nullptr; ++entry) {
      if (std::strcmp(entry->name, name) == 0) return true;
    }
  }
  return false;
}

}  // namespace smsline

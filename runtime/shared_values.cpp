// The process-wide constant values shared by every module body.
#include "runtime/shared_values.h"

namespace smsline {

SharedValues shared = {};

PyObject* interned(const char* text) noexcept { return PyUnicode_InternFromString(text); }

bool create_shared_values() noexcept {
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry names[] = {
      {&shared.name, "__name__"},
      {&shared.package, "__package__"},
      {&shared.builtins, "__builtins__"},
      {&shared.loader, "__loader__"},
      {&shared.spec, "__spec__"},
      {&shared.initializing, "_initializing"},
      {&shared.file, "__file__"},
      {&shared.doc, "__doc__"},
      {&shared.path, "__path__"},
      {&shared.cached, "__cached__"},
      {&shared.origin, "origin"},
      {&shared.has_location, "has_location"},
      {&shared.search_locations, "submodule_search_locations"},
      {&shared.spec_name, "name"},
      {&shared.parent, "parent"},
      {&shared.close, "close"},
      {&shared.read, "read"},
  };
  for (const Entry& entry : names) {
    if (*entry.slot == nullptr && (*entry.slot = interned(entry.text)) == nullptr) return false;
  }
  if (shared.empty_tuple == nullptr && (shared.empty_tuple = PyTuple_New(0)) == nullptr) return false;
  return true;
}

}  // namespace smsline

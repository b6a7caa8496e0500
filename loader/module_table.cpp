// The registered module table: name lookups and the outer-package prefix.
#include "loader/module_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loader/registry.h"

namespace smsline {

EmbeddedModuleEntry* find_row(const char* name) noexcept {
  for (EmbeddedModuleEntry* row = registered_table; row != nullptr && row->name != nullptr; ++row) {
    if (std::strcmp(row->name, name) == 0) return row;
  }
  return nullptr;
}

EmbeddedModuleEntry* find_parent_row(const char* name) noexcept {
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return nullptr;
  const std::size_t length = static_cast<std::size_t>(dot - name);
  for (EmbeddedModuleEntry* row = registered_table; row != nullptr && row->name != nullptr; ++row) {
    if ((row->flags & MODULE_FLAG_PACKAGE) && std::strlen(row->name) == length &&
        std::strncmp(row->name, name, length) == 0) {
      return row;
    }
  }
  return nullptr;
}

EmbeddedModuleEntry* first_package_row() noexcept {
  for (EmbeddedModuleEntry* row = registered_table; row != nullptr && row->name != nullptr; ++row) {
    if (row->flags & MODULE_FLAG_PACKAGE) return row;
  }
  return nullptr;
}

void prefix_rows_for_outer_package(EmbeddedModuleEntry* table, const char* context) noexcept {
  const char* dot = context != nullptr ? std::strrchr(context, '.') : nullptr;
  if (dot == nullptr) return;
  const int outer_length = static_cast<int>(dot - context) + 1;  // "outer."
  const char* own = dot + 1;                                      // "smsline"
  const std::size_t own_length = std::strlen(own);
  for (EmbeddedModuleEntry* row = table; row->name != nullptr; ++row) {
    if (std::strncmp(row->name, own, own_length) != 0) continue;
    const char after = row->name[own_length];
    if (after != '\0' && after != '.') continue;
    // Formed in a buffer of 2048 bytes; a longer name keeps its row unprefixed.
    char full[2048];
    const int length = std::snprintf(full, sizeof full, "%.*s%s", outer_length, context, row->name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof full) continue;
    // Kept for the life of the process, as the row's new name.
    char* copy = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (copy == nullptr) continue;
    std::memcpy(copy, full, static_cast<std::size_t>(length) + 1);
    row->name = copy;
  }
}

}  // namespace smsline

// The table of the modules this shared object contains.
#pragma once

#include "loader/module_table.h"

namespace smsline {

// This shared object's modules, ended by a row with a null name.
extern EmbeddedModuleEntry embedded_module_table[];

}  // namespace smsline

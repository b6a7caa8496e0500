// path_beside_shared_object: names relative to the directory that holds this shared object.
#pragma once

#include "runtime/python.h"

namespace smsline {

// The directory of this shared object, "/" and `relative`, as a new str (or
// null with an exception set).
PyObject* path_beside_shared_object(const char* relative) noexcept;

}  // namespace smsline

// The one include for the interpreter's headers, for the interpreter versions the runtime builds for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <traceback.h>
#include <marshal.h>

// The runtime reads frames and thread states directly, as each version
// lays them out; what differs between 3.6 and 3.13 is kept in
// runtime/compat/.
#if PY_VERSION_HEX < 0x03060000 || PY_VERSION_HEX >= 0x030E0000
#error "smsline builds against the headers of CPython 3.6 to 3.13 only"
#endif

// The setters of an object's type and size, which replace assignments
// through Py_TYPE and Py_SIZE from 3.9 (3.10 no longer allows those).
#if PY_VERSION_HEX < 0x03090000
#define Py_SET_TYPE(object, type) (Py_TYPE(object) = (type))
#define Py_SET_SIZE(object, size) (Py_SIZE(object) = (size))
#endif

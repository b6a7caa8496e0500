// The one include for the interpreter's headers, with the 3.6 internals the runtime reads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <traceback.h>
#include <marshal.h>

#if PY_VERSION_HEX < 0x03060000 || PY_VERSION_HEX >= 0x03070000
#error "smsline reads CPython 3.6 structures directly and builds against 3.6 headers only"
#endif

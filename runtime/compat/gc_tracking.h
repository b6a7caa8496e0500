/* Tracking a new object by the cyclic garbage collector, without a call into the interpreter where it can be done. */
#pragma once

#include "runtime/python.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PyObject_GC_Track(object), for an object just made and not yet tracked. */
void smsline_gc_track(PyObject* object);

#ifdef __cplusplus
}
#endif

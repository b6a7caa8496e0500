/* Tracking a new object by the cyclic garbage collector, inline on the versions that allow it.

   PyObject_GC_Track is a call into libpython around a handful of stores
   (the object goes at the end of the youngest generation's list).  From 3.8
   to 3.11 the interpreter's internal header has the same thing inline, and
   it finds that list through the runtime state that libpython exports: the
   objects made on our paths for every caught exception (traceback entries,
   frames) are tracked with it.  3.6 and 3.7 keep that state private, and
   from 3.12 the inline form reads the thread state from a thread-local
   variable that libpython does not export: there the call stays. */
#include <patchlevel.h>
#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x030C0000
#define SMSLINE_INLINE_GC_TRACK 1
#define Py_BUILD_CORE 1
#else
#define SMSLINE_INLINE_GC_TRACK 0
#endif

#include <Python.h>
#if SMSLINE_INLINE_GC_TRACK
/* An object.h macro of the same name clashes with the internal headers'. */
#undef _PyGC_FINALIZED
/* 3.8 and 3.9 pass the caller's file and line to assertions that NDEBUG
   removes. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "internal/pycore_object.h"
#pragma GCC diagnostic pop
#endif

#include "runtime/compat/gc_tracking.h"

void smsline_gc_track(PyObject* object) {
#if SMSLINE_INLINE_GC_TRACK
  _PyObject_GC_TRACK(object);
#else
  PyObject_GC_Track(object);
#endif
}

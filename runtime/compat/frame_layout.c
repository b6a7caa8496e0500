/* The interpreter's internal records that our frames touch from 3.11 on:
   a frame object's local slots and instruction pointer.  Their layouts are described only by the
   interpreter's internal headers, which compile as C, not as C++: this file
   is the one place that includes them, and is built for 3.11 and later. */
#define Py_BUILD_CORE 1
#include <Python.h>
/* An object.h macro of the same name clashes with the internal headers'. */
#undef _PyGC_FINALIZED
#include "internal/pycore_frame.h"

#define SMSLINE_EXPORT __attribute__((visibility("hidden")))

static PyCodeObject* frame_code(_PyInterpreterFrame* frame) {
#if PY_VERSION_HEX < 0x030D0000
  return frame->f_code;
#else
  return (PyCodeObject*)frame->f_executable;
#endif
}

/* The frame's local slots, in the order of its code object's variable names. */
SMSLINE_EXPORT PyObject** smsline_frame_slots(PyFrameObject* frame) { return frame->f_frame->localsplus; }

/* Puts the frame's instruction pointer on the instruction of `line` (our
   code objects give line L the instruction L - first line), where every
   reader of its line (f_lineno, a traceback entry made now) finds it. */
SMSLINE_EXPORT void smsline_frame_set_line(PyFrameObject* frame, int line) {
  _PyInterpreterFrame* const record = frame->f_frame;
  PyCodeObject* const code = frame_code(record);
  const int index = line - code->co_firstlineno;
#if PY_VERSION_HEX < 0x030D0000
  record->prev_instr = _PyCode_CODE(code) + index;
#else
  record->instr_ptr = _PyCode_CODE(code) + index;
#endif
  frame->f_lineno = 0; /* no override: the line comes from the instruction */
}

/* The interpreter's frame records from 3.11 on, as the C files that include its internal headers read them.

   Included by frame_layout.c and events_monitoring.c, after the internal
   frame header.  The record's code and instruction
   fields were renamed in 3.13, and the thread's current frame moved from
   the thread's C frame record into the thread state itself. */
#ifndef SMSLINE_COMPAT_FRAME_RECORDS_H
#define SMSLINE_COMPAT_FRAME_RECORDS_H

/* Functions these files give the rest of the extension, and no one else. */
#define SMSLINE_EXPORT __attribute__((visibility("hidden")))

/* The code object the record runs. */
static inline PyCodeObject* record_code(_PyInterpreterFrame* record) {
#if PY_VERSION_HEX < 0x030D0000
  return record->f_code;
#else
  return (PyCodeObject*)record->f_executable;
#endif
}

/* Where the thread keeps its current frame record. */
static inline _PyInterpreterFrame** current_frame(PyThreadState* tstate) {
#if PY_VERSION_HEX < 0x030D0000
  return &tstate->cframe->current_frame;
#else
  return &tstate->current_frame;
#endif
}

#endif

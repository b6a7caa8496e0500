/* The interpreter's frame records from 3.11 on: local slots, instruction pointer, linking into the thread's frame stack.

   Their layouts are described only by the interpreter's internal headers,
   which compile as C, not as C++: this file and the monitoring event sender
   beside it are the C files that include them.  Up to 3.10 a frame is a
   plain object and this file is empty (runtime/compat/frames.h).  The layouts
   differ between minor versions (3.12 reordered the record, 3.13 renamed
   its code and instruction fields and moved the thread's current frame out
   of the C frame record); the few spots where they do are in
   frame_records.h and the helpers at the top. */
#include <patchlevel.h>
#if PY_VERSION_HEX >= 0x030B0000
#define Py_BUILD_CORE 1
#include <Python.h>
/* An object.h macro of the same name clashes with the internal headers'. */
#undef _PyGC_FINALIZED
#include "internal/pycore_frame.h"
#include "internal/pycore_runtime.h"

#include <stddef.h>
#include <string.h>

#include "runtime/compat/frame_layout.h"
#include "runtime/compat/frame_records.h"
#include "runtime/compat/gc_tracking.h"

static void set_instruction_pointer(_PyInterpreterFrame* record, _Py_CODEUNIT* instruction) {
#if PY_VERSION_HEX < 0x030D0000
  record->prev_instr = instruction;
#else
  record->instr_ptr = instruction;
#endif
}

/* Holds the pending exception aside (PyErr_Fetch up to 3.11, the one
   exception object from 3.12) and puts it back. */
typedef struct {
#if PY_VERSION_HEX < 0x030C0000
  PyObject *type, *value, *traceback;
#else
  PyObject* exception;
#endif
} PendingError;

static void hold_pending(PendingError* held) {
#if PY_VERSION_HEX < 0x030C0000
  PyErr_Fetch(&held->type, &held->value, &held->traceback);
#else
  held->exception = PyErr_GetRaisedException();
#endif
}

static void restore_pending(PendingError* held) {
#if PY_VERSION_HEX < 0x030C0000
  PyErr_Restore(held->type, held->value, held->traceback);
#else
  PyErr_SetRaisedException(held->exception);
#endif
}

SMSLINE_EXPORT PyFrameObject* smsline_frame_new(PyCodeObject* code, PyObject* function) {
  PyFrameObject* const frame =
      PyObject_GC_NewVar(PyFrameObject, &PyFrame_Type, code->co_nlocalsplus + code->co_stacksize);
  if (frame == NULL) return NULL;
  frame->f_back = NULL;
  frame->f_trace = NULL;
  frame->f_lineno = 0;
  frame->f_trace_lines = 1;
  frame->f_trace_opcodes = 0;
#if PY_VERSION_HEX < 0x030D0000
  frame->f_fast_as_locals = 0;
#else
  frame->f_extra_locals = NULL;
  frame->f_locals_cache = NULL;
#endif
  _PyInterpreterFrame* const record = (_PyInterpreterFrame*)frame->_f_frame_data;
  /* The record takes a reference to the function, and one to the code. */
  Py_INCREF(function);
#if PY_VERSION_HEX < 0x030C0000
  _PyFrame_InitializeSpecials(record, (PyFunctionObject*)function, NULL, code->co_nlocalsplus);
  for (int i = 0; i < code->co_nlocalsplus; i++) record->localsplus[i] = NULL;
#else
  _PyFrame_Initialize(record, (PyFunctionObject*)function, NULL, code, 0);
#endif
  record->previous = NULL;
  set_instruction_pointer(record, _PyCode_CODE(code));
  record->owner = FRAME_OWNED_BY_FRAME_OBJECT;
  frame->f_frame = record;
  smsline_gc_track((PyObject*)frame);
  return frame;
}

SMSLINE_EXPORT PyObject** smsline_frame_slots(PyFrameObject* frame) { return frame->f_frame->localsplus; }

SMSLINE_EXPORT PyCodeObject* smsline_frame_code(PyFrameObject* frame) { return record_code(frame->f_frame); }

SMSLINE_EXPORT void smsline_frame_set_instruction(PyFrameObject* frame, int index) {
  _PyInterpreterFrame* const record = frame->f_frame;
  set_instruction_pointer(record, _PyCode_CODE(record_code(record)) + index);
  frame->f_lineno = 0; /* no override: the line comes from the instruction */
}

SMSLINE_EXPORT void smsline_frame_instruction_place(PyFrameObject* frame, void** pointer, char** code) {
  _PyInterpreterFrame* const record = frame->f_frame;
#if PY_VERSION_HEX < 0x030D0000
  *pointer = &record->prev_instr;
#else
  *pointer = &record->instr_ptr;
#endif
  *code = (char*)_PyCode_CODE(record_code(record));
}

SMSLINE_EXPORT int smsline_frame_has_back(PyFrameObject* frame) { return frame->f_back != NULL; }

SMSLINE_EXPORT PyObject* smsline_frame_prepare(PyFrameObject* frame) {
  _PyInterpreterFrame* const record = frame->f_frame;
  PyCodeObject* const code = record_code(record);
  /* The slots past the locals are the value stack, which our code objects
     do not have. */
  record->stacktop = code->co_nlocalsplus;
  set_instruction_pointer(record, _PyCode_CODE(code));
  frame->f_lineno = 0;
  PyObject* const trace = frame->f_trace;
  frame->f_trace = NULL;
  return trace;
}

SMSLINE_EXPORT void smsline_frame_link(PyThreadState* tstate, PyFrameObject* frame) {
  _PyInterpreterFrame* const record = frame->f_frame;
  _PyInterpreterFrame** const current = current_frame(tstate);
  record->previous = *current;
  /* Not a reference: the record lives inside the frame object. */
  record->frame_obj = frame;
  record->owner = FRAME_OWNED_BY_THREAD;
  *current = record;
}

SMSLINE_EXPORT void smsline_frame_unlink(PyThreadState* tstate, PyFrameObject* frame, int held) {
  _PyInterpreterFrame* const record = frame->f_frame;
  if (held && frame->f_back == NULL) {
    /* The caller's frame object, as PyFrame_GetBack finds it: the first
       complete record below ours.  Made now if the caller has none yet (with
       the pending exception held aside), or none when that fails: the
       interpreter gives up the link then too. */
    _PyInterpreterFrame* caller = record->previous;
    while (caller != NULL && _PyFrame_IsIncomplete(caller)) caller = caller->previous;
    if (caller != NULL && caller->frame_obj != NULL) {
      Py_INCREF(caller->frame_obj);
      frame->f_back = caller->frame_obj;
    } else if (caller != NULL) {
      PendingError pending;
      hold_pending(&pending);
      frame->f_back = PyFrame_GetBack(frame);
      if (frame->f_back == NULL) PyErr_Clear();
      restore_pending(&pending);
    }
  }
  *current_frame(tstate) = record->previous;
  record->previous = NULL;
  record->frame_obj = NULL;
  record->owner = FRAME_OWNED_BY_FRAME_OBJECT;
}

/* Moves the reference at `*field` to the end of `dicts`. */
static void take_dict(PyObject** field, PyObject** dicts, int* count) {
  if (*field == NULL) return;
  dicts[(*count)++] = *field;
  *field = NULL;
}

SMSLINE_EXPORT int smsline_frame_take_locals_dicts(PyFrameObject* frame, PyObject** dicts) {
  int count = 0;
#if PY_VERSION_HEX < 0x030D0000
  take_dict(&frame->f_frame->f_locals, dicts, &count);
#else
  take_dict(&frame->f_extra_locals, dicts, &count);
  take_dict(&frame->f_locals_cache, dicts, &count);
#endif
  return count;
}

SMSLINE_EXPORT int smsline_frame_traces_lines(PyFrameObject* frame) { return frame->f_trace_lines; }

SMSLINE_EXPORT void smsline_frame_show_line(PyFrameObject* frame, int shown) {
  frame->f_lineno = 0; /* the line of the instruction, not an earlier override */
  if (shown) frame->f_lineno = PyFrame_GetLineNumber(frame);
}

#if PY_VERSION_HEX >= 0x030D0000
/* Compares an offset the interpreter publishes with the one compiled here. */
#define SMSLINE_CHECK_OFFSET(published, compiled, what) \
  if ((uint64_t)(published) != (uint64_t)(compiled)) return "the interpreter lays out " what " differently";
#endif

SMSLINE_EXPORT const char* smsline_frame_layout_mismatch(PyThreadState* tstate) {
#if PY_VERSION_HEX >= 0x030D0000
  const _Py_DebugOffsets* const published = &_PyRuntime.debug_offsets;
  if (memcmp(published->cookie, _Py_Debug_Cookie, sizeof published->cookie) != 0) {
    return "the interpreter publishes no table of its offsets";
  }
  SMSLINE_CHECK_OFFSET(published->version >> 16, PY_VERSION_HEX >> 16, "its version")
  SMSLINE_CHECK_OFFSET(published->free_threaded, 0, "its threads (a free-threaded build)")
  SMSLINE_CHECK_OFFSET(published->thread_state.current_frame, offsetof(PyThreadState, current_frame),
                       "the thread's current frame")
  SMSLINE_CHECK_OFFSET(published->interpreter_frame.size, sizeof(_PyInterpreterFrame), "its frame records")
  SMSLINE_CHECK_OFFSET(published->interpreter_frame.previous, offsetof(_PyInterpreterFrame, previous),
                       "a frame record's link")
  SMSLINE_CHECK_OFFSET(published->interpreter_frame.executable, offsetof(_PyInterpreterFrame, f_executable),
                       "a frame record's code")
  SMSLINE_CHECK_OFFSET(published->interpreter_frame.instr_ptr, offsetof(_PyInterpreterFrame, instr_ptr),
                       "a frame record's instruction pointer")
  SMSLINE_CHECK_OFFSET(published->interpreter_frame.localsplus, offsetof(_PyInterpreterFrame, localsplus),
                       "a frame record's local slots")
  SMSLINE_CHECK_OFFSET(published->interpreter_frame.owner, offsetof(_PyInterpreterFrame, owner),
                       "a frame record's owner")
  SMSLINE_CHECK_OFFSET(published->code_object.size, sizeof(PyCodeObject), "its code objects")
  SMSLINE_CHECK_OFFSET(published->code_object.firstlineno, offsetof(PyCodeObject, co_firstlineno),
                       "a code object's first line")
  SMSLINE_CHECK_OFFSET(published->code_object.co_code_adaptive, offsetof(PyCodeObject, co_code_adaptive),
                       "a code object's instructions")
#endif
  /* Read only: the thread's current frame as this build finds it must be
     the one the interpreter reports (which makes its frame object now). */
  PyFrameObject* const reported = PyEval_GetFrame();
  _PyInterpreterFrame* record = *current_frame(tstate);
  while (record != NULL && _PyFrame_IsIncomplete(record)) record = record->previous;
  if (reported == NULL ? record != NULL
                       : record == NULL || record->frame_obj != reported || reported->f_frame != record) {
    return "the thread's current frame is not where this build looks for it";
  }
  return NULL;
}

#endif /* 3.11 and later */

/* The interpreter's frame records from 3.11 on, as frame_layout.c handles them for the rest of the runtime. */
#pragma once

#include "runtime/python.h"

/* From 3.11 a frame object wraps a record of the interpreter
   (_PyInterpreterFrame) that holds the code, the instruction pointer and
   the local slots, and the thread's running frames are a chain of such
   records.  Both layouts are described only by the interpreter's internal
   headers, which compile as C and not as C++: frame_layout.c, the one file
   that includes them, does everything that touches them, behind these
   functions.  Every frame passed in is a frame object that PyFrame_New made
   for one of our code objects. */
#ifdef __cplusplus
extern "C" {
#endif

/* A frame object for a call of `function`, whose code is `code`: what
   PyFrame_New(tstate, code, function's globals, NULL) makes, with the
   frame's function being `function` (a reference is taken), where
   PyFrame_New makes a new function for every frame.  Its builtins are the
   function's, as a plain function's frames have them.  Null with an
   exception set. */
PyFrameObject* smsline_frame_new(PyCodeObject* code, PyObject* function);

/* The frame's local slots, in the order of its code object's variable names. */
PyObject** smsline_frame_slots(PyFrameObject* frame);

/* The code object the frame runs (borrowed: the frame holds it). */
PyCodeObject* smsline_frame_code(PyFrameObject* frame);

/* Puts the frame's instruction pointer on its code object's instruction at
   `index` (our code objects give line L the instruction L - first line),
   where every reader of its line finds it: f_lineno, a traceback entry made
   now, faulthandler. */
void smsline_frame_set_instruction(PyFrameObject* frame, int index);

/* Where the frame's instruction pointer is kept, and the address of the
   first instruction of its code: putting the frame on the instruction at
   `index` is storing the address `code + 2 * index` (an instruction is 2
   bytes) at `pointer`, the instruction part of what
   smsline_frame_set_instruction does, without the call.  The place stays
   the same for the frame object's life (its record lives inside it).
   (The pointer's type is the interpreter's internal instruction type,
   unseen here: the address is stored by copying its bytes.) */
void smsline_frame_instruction_place(PyFrameObject* frame, void** pointer, char** code);

/* Whether the frame object has a back link of its own (given when it left
   a thread's frame stack while something held it). */
int smsline_frame_has_back(PyFrameObject* frame);

/* Readies the frame for a call: its local slots all count as locals again
   (frame.clear() may have emptied the frame), the instruction pointer is on
   the first line, and a trace function that an earlier call left on it is
   taken off and returned (a new reference for the caller to release, or
   null). */
PyObject* smsline_frame_prepare(PyFrameObject* frame);

/* Makes the frame the thread's running frame: owned by the thread, linked
   above the thread's current frame, and its record's frame object. */
void smsline_frame_link(PyThreadState* tstate, PyFrameObject* frame);

/* Takes the frame off the thread's frame stack (it must be the current
   frame) and gives the record back to the frame object.  With `held`
   (something other than the call still holds the frame object) the frame
   first gets its caller as a back link of its own, as the interpreter gives
   one to a finished frame that is still referenced; a pending exception is
   kept across that. */
void smsline_frame_unlink(PyThreadState* tstate, PyFrameObject* frame, int held);

/* Takes from the frame the dictionaries that readers of its locals made
   (f_locals up to 3.12; from 3.13 the extra names set through f_locals and
   the snapshot PyEval_GetLocals gives): stores up to two references in
   `dicts` for the caller to release, and returns their number. */
int smsline_frame_take_locals_dicts(PyFrameObject* frame, PyObject** dicts);

/* Whether a trace function gets line events in the frame (f_trace_lines). */
int smsline_frame_traces_lines(PyFrameObject* frame);

/* With `shown`, sets the frame's f_lineno to the line of its current
   instruction, as the interpreter does while a trace or profile function
   runs for the frame; without, clears it again (the line is then read from
   the instruction). */
void smsline_frame_show_line(PyFrameObject* frame, int shown);

/* Null when the interpreter's frame records are where and as this file was
   compiled to find them, as far as can be told without changing anything:
   the offsets the interpreter publishes (3.13's _PyRuntime.debug_offsets),
   and the thread's current frame as read here against the one the
   interpreter reports.  Otherwise what differs, as a clause of a sentence. */
const char* smsline_frame_layout_mismatch(PyThreadState* tstate);

#ifdef __cplusplus
}
#endif

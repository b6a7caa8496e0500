/* Events of our frames to sys.monitoring tools (3.12 and later), as the interpreter dispatches them.

   From 3.12 sys.settrace, sys.setprofile and cProfile are monitoring tools
   like any other: the interpreter keeps, per event, a bitmap of the tools
   that listen (its monitors.tools) and, per tool and event, the function to
   call (its monitoring_callables).  An event goes to each listening tool in
   turn, highest tool number first (sys.settrace's, then sys.setprofile's),
   with the code object, the instruction's offset in bytes and the event's
   own arguments, while the thread's `tracing` count says that an event is
   being handled (no event is sent meanwhile).  Both records are described
   only by the interpreter's internal headers, which compile as C, not as
   C++: this file is the one place that reads them.

   The public senders of 3.13 (PyMonitoring_Fire*Event) are not used: they
   give the C_RETURN and C_RAISE tools the result or nothing where the
   interpreter gives the callable and its first argument (what
   sys.setprofile's tool and cProfile read), and they do not keep quiet
   while the thread handles an event. */
#include <patchlevel.h>
#if PY_VERSION_HEX >= 0x030C0000
#define Py_BUILD_CORE 1
#include <Python.h>
/* An object.h macro of the same name clashes with the internal headers'. */
#undef _PyGC_FINALIZED
#include "internal/pycore_frame.h"
#include "internal/pycore_interp.h"

#include "runtime/compat/frame_records.h"
#include "runtime/compat/monitoring_events.h"

/* The event numbers the runtime shares are the interpreter's own
   (cpython/monitoring.h on 3.13, the internal instrumentation header on
   3.12). */
#define SMSLINE_SAME_EVENT(name) \
  _Static_assert(SMSLINE_EVENT_##name == PY_MONITORING_EVENT_##name, "event " #name " is numbered differently");
SMSLINE_SAME_EVENT(PY_START)
SMSLINE_SAME_EVENT(PY_RETURN)
SMSLINE_SAME_EVENT(CALL)
SMSLINE_SAME_EVENT(LINE)
SMSLINE_SAME_EVENT(JUMP)
SMSLINE_SAME_EVENT(RAISE)
SMSLINE_SAME_EVENT(EXCEPTION_HANDLED)
SMSLINE_SAME_EVENT(PY_UNWIND)
SMSLINE_SAME_EVENT(RERAISE)
SMSLINE_SAME_EVENT(C_RETURN)
SMSLINE_SAME_EVENT(C_RAISE)

/* sys.settrace's tool. */
enum { SYS_TRACE_TOOL = 7 };

/* Zeros in place of the tool bitmaps while events are not sent: one byte
   per event the bitmaps have, and the word read past the last. */
static const uint8_t no_tools[_PY_MONITORING_UNGROUPED_EVENTS + 8];

/* Set by smsline_allow_events at the extension's start (see
   runtime/compat/tracing.h): the main interpreter's tool bitmaps. */
SMSLINE_EXPORT const uint8_t* smsline_event_tools = no_tools;

/* sys.monitoring.MISSING, what a tool is given for the first argument of a
   call without arguments.  Taken by smsline_allow_events; kept for the
   process. */
static PyObject* missing_argument = NULL;

SMSLINE_EXPORT void smsline_allow_events(int allowed) {
  if (!allowed) {
    smsline_event_tools = no_tools;
    return;
  }
  if (missing_argument == NULL) {
    PyObject* monitoring = PySys_GetObject("monitoring"); /* borrowed from sys, held below */
    Py_XINCREF(monitoring);
    missing_argument = monitoring != NULL ? PyObject_GetAttrString(monitoring, "MISSING") : NULL;
    Py_XDECREF(monitoring);
    if (missing_argument == NULL) {
      /* No sys.monitoring as this interpreter describes it: nothing is sent. */
      PyErr_Clear();
      return;
    }
  }
  /* The main interpreter's: the package refuses every other interpreter
     (smsline/package.cpp), so our frames run in no other, and nothing
     reads another interpreter's tools through this pointer. */
  smsline_event_tools = PyInterpreterState_Main()->monitors.tools;
}

/* The offset in bytes of the record's current instruction (its first
   before it has run one), as the tools are given it. */
static int byte_offset(_PyInterpreterFrame* record) {
  const int index = _PyInterpreterFrame_LASTI(record);
  return index < 0 ? 0 : index * (int)sizeof(_Py_CODEUNIT);
}

/* Calls `event`'s function of each tool in `tools` with args[1..nargs]
   (args[0] is free for the callee, and args[1] is the code object), as
   the interpreter calls them: highest tool first, the thread marked as
   handling the event.  0, or -1 with the exception of the tool that
   raised (the tools after it are not called).  A tool's DISABLE answer is
   taken as None: our frames have no instrumented instructions to disable. */
static int call_tools(PyThreadState* tstate, int event, uint8_t tools, PyObject** args, size_t nargs) {
  PyInterpreterState* const interp = tstate->interp;
  while (tools != 0) {
    const int tool = 31 - __builtin_clz(tools);
    tools ^= (uint8_t)(1 << tool);
    int tool_event = event;
    size_t tool_nargs = nargs;
    PyObject* line = NULL;
    if (event == SMSLINE_EVENT_JUMP && tool == SYS_TRACE_TOOL) {
      /* sys.settrace turns a jump back to the same line into a line event,
         reading the line from the instrumented code that ours does not
         have: it is given that line event itself. */
      line = PyLong_FromLong(PyCode_Addr2Line((PyCodeObject*)args[1], (int)PyLong_AsLong(args[2])));
      if (line == NULL) return -1;
      tool_event = SMSLINE_EVENT_LINE;
      tool_nargs = 2;
    }
    PyObject* const function = interp->monitoring_callables[tool][tool_event];
    if (function == NULL) {
      Py_XDECREF(line);
      continue;
    }
    /* Held for the call: a tool may unregister itself while it runs. */
    Py_INCREF(function);
    PyObject* saved_argument = NULL;
    if (line != NULL) {
      saved_argument = args[2];
      args[2] = line;
    }
    const int old_event = tstate->what_event;
    tstate->what_event = tool_event;
    ++tstate->tracing;
    PyObject* const result =
        PyObject_Vectorcall(function, args + 1, tool_nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    --tstate->tracing;
    tstate->what_event = old_event;
    if (line != NULL) {
      args[2] = saved_argument;
      Py_DECREF(line);
    }
    Py_DECREF(function);
    if (result == NULL) return -1;
    Py_DECREF(result);
  }
  return 0;
}

/* The last instruction of our code objects: it has no line, like the
   compiler's exception-handling code (see CLEANUP_INSTRUCTION). */
static int cleanup_index(PyCodeObject* code) { return (int)Py_SIZE(code) - 1; }

/* `event` with the code object and `index`'s offset, then `extra`
   arguments (up to 2). */
static int send_at(PyThreadState* tstate, int event, uint8_t tools, PyCodeObject* code, int index, PyObject* first,
                   PyObject* second, size_t extra) {
  PyObject* const offset = PyLong_FromLong(index * (int)sizeof(_Py_CODEUNIT));
  if (offset == NULL) return -1;
  PyObject* args[5] = {NULL, (PyObject*)code, offset, first, second};
  const int result = call_tools(tstate, event, tools, args, 2 + extra);
  Py_DECREF(offset);
  return result;
}

/* `event` with the code object and offset of `record`, then `extra`
   arguments (up to 2). */
static int send(PyThreadState* tstate, int event, uint8_t tools, _PyInterpreterFrame* record, PyObject* first,
                PyObject* second, size_t extra) {
  PyObject* const offset = PyLong_FromLong(byte_offset(record));
  if (offset == NULL) return -1;
  PyObject* args[5] = {NULL, (PyObject*)record_code(record), offset, first, second};
  const int result = call_tools(tstate, event, tools, args, 2 + extra);
  Py_DECREF(offset);
  return result;
}

/* Whether `event` goes anywhere now: tools listen, and the thread is not
   handling an event already. */
static uint8_t listening(PyThreadState* tstate, int event) {
  return tstate->tracing != 0 ? 0 : smsline_event_tools[event];
}

/* An event about the pending exception at instruction `index` of the
   frame's code, which the tools are given: it is kept pending afterwards,
   unless a tool raised (its exception replaces it).  0 or -1. */
static int send_about_exception(PyThreadState* tstate, int event, PyFrameObject* frame, int index) {
  const uint8_t tools = listening(tstate, event);
  if (tools == 0) return 0;
  PyObject* const exception = PyErr_GetRaisedException();
  if (exception == NULL) return 0;
  if (send_at(tstate, event, tools, record_code(frame->f_frame), index, exception, NULL, 1) < 0) {
    Py_DECREF(exception);
    return -1;
  }
  PyErr_SetRaisedException(exception);
  return 0;
}

/* The frame's current instruction. */
static int current_index(PyFrameObject* frame) { return byte_offset(frame->f_frame) / (int)sizeof(_Py_CODEUNIT); }

/* Moves the frame's instruction pointer to the instruction of no line,
   keeping the line it shows (f_lineno, which overrides the instruction's
   line) and its instruction otherwise: for the events of its exit. */
static void stand_in_cleanup(PyFrameObject* frame) {
  _PyInterpreterFrame* const record = frame->f_frame;
  const int line = PyFrame_GetLineNumber(frame);
  _Py_CODEUNIT* const cleanup = _PyCode_CODE(record_code(record)) + cleanup_index(record_code(record));
#if PY_VERSION_HEX < 0x030D0000
  record->prev_instr = cleanup;
#else
  record->instr_ptr = cleanup;
#endif
  frame->f_lineno = line;
}

SMSLINE_EXPORT int smsline_send_call_event(PyThreadState* tstate, PyFrameObject* frame) {
  const uint8_t tools = listening(tstate, SMSLINE_EVENT_PY_START);
  if (tools == 0) return 0;
  /* A pending exception (a module body's start has none; a function's
     neither) would be seen by the tools as theirs: kept aside. */
  PyObject* const pending = PyErr_GetRaisedException();
  const int result = send(tstate, SMSLINE_EVENT_PY_START, tools, frame->f_frame, NULL, NULL, 0);
  if (pending != NULL) {
    if (result == 0) {
      PyErr_SetRaisedException(pending);
    } else {
      Py_DECREF(pending);
    }
  }
  return result;
}

SMSLINE_EXPORT int smsline_send_line_event(PyThreadState* tstate, PyFrameObject* frame, int loop_pass) {
  if (loop_pass) {
    /* The jump back to the loop's head: from the head's offset to itself
       (our code objects have one instruction per line). */
    const uint8_t tools = listening(tstate, SMSLINE_EVENT_JUMP);
    if (tools == 0) return 0;
    PyObject* const target = PyLong_FromLong(byte_offset(frame->f_frame));
    if (target == NULL) return -1;
    const int result = send(tstate, SMSLINE_EVENT_JUMP, tools, frame->f_frame, target, NULL, 1);
    Py_DECREF(target);
    return result;
  }
  const uint8_t tools = listening(tstate, SMSLINE_EVENT_LINE);
  if (tools == 0) return 0;
  PyObject* const line = PyLong_FromLong(PyFrame_GetLineNumber(frame));
  if (line == NULL) return -1;
  /* A line event's tools are given the code object and the line alone. */
  PyObject* args[3] = {NULL, (PyObject*)record_code(frame->f_frame), line};
  const int result = call_tools(tstate, SMSLINE_EVENT_LINE, tools, args, 2);
  Py_DECREF(line);
  return result;
}

SMSLINE_EXPORT void smsline_send_exception_event(PyThreadState* tstate, PyFrameObject* frame, int reraised) {
  if (!reraised) {
    send_about_exception(tstate, SMSLINE_EVENT_RAISE, frame, current_index(frame));
    return;
  }
  /* Our bodies re-raise only from a handler (a bare raise, a finally
     block, an except clause that did not match), on their way out: the
     compiled function re-raises there, its exception-handling code (of no
     line) catches that and re-raises again, and the frame is left from
     there. */
  if (send_about_exception(tstate, SMSLINE_EVENT_RERAISE, frame, current_index(frame)) < 0) return;
  stand_in_cleanup(frame);
  if (send_about_exception(tstate, SMSLINE_EVENT_EXCEPTION_HANDLED, frame, cleanup_index(record_code(frame->f_frame))) < 0) {
    return;
  }
  send_about_exception(tstate, SMSLINE_EVENT_RERAISE, frame, cleanup_index(record_code(frame->f_frame)));
}

/* A handler's first instruction has no line (the compiler's
   exception-handling code). */
SMSLINE_EXPORT void smsline_send_handled_event(PyThreadState* tstate, PyFrameObject* frame) {
  send_about_exception(tstate, SMSLINE_EVENT_EXCEPTION_HANDLED, frame, cleanup_index(record_code(frame->f_frame)));
}

SMSLINE_EXPORT int smsline_send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) {
  if (result == NULL) return send_about_exception(tstate, SMSLINE_EVENT_PY_UNWIND, frame, current_index(frame));
  const uint8_t tools = listening(tstate, SMSLINE_EVENT_PY_RETURN);
  if (tools == 0) return 0;
  return send(tstate, SMSLINE_EVENT_PY_RETURN, tools, frame->f_frame, result, NULL, 1);
}

SMSLINE_EXPORT int smsline_send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument) {
  const uint8_t tools = listening(tstate, SMSLINE_EVENT_CALL);
  if (tools == 0) return 0;
  return send(tstate, SMSLINE_EVENT_CALL, tools, *current_frame(tstate), function,
              first_argument != NULL ? first_argument : missing_argument, 2);
}

SMSLINE_EXPORT int smsline_send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument,
                                               int failed) {
  /* The tools of C_RETURN and C_RAISE are those of CALL. */
  const uint8_t tools = listening(tstate, SMSLINE_EVENT_CALL);
  if (tools == 0) return failed ? -1 : 0;
  PyObject* const argument = first_argument != NULL ? first_argument : missing_argument;
  if (!failed) return send(tstate, SMSLINE_EVENT_C_RETURN, tools, *current_frame(tstate), function, argument, 2);
  /* The call's exception stays pending unless a tool raised. */
  PyObject* const exception = PyErr_GetRaisedException();
  if (send(tstate, SMSLINE_EVENT_C_RAISE, tools, *current_frame(tstate), function, argument, 2) < 0) {
    Py_XDECREF(exception);
  } else {
    PyErr_SetRaisedException(exception);
  }
  return -1;
}

#endif /* 3.12 and later */

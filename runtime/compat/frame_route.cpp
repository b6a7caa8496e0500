// From 3.11: the start-up check that decides whether our frames run in the thread's frame stack.
//
// Linking our frames into the thread's frame stack relies on the layout of
// the interpreter's frame records as this build's headers describe it,
// which the interpreter does not promise across patch releases.  Before
// any frame of ours runs, the check compares the offsets the interpreter
// publishes (3.13), reads the thread's current frame through that layout,
// then links two frames of a code object of its own and reads them back
// through the public API only: the current frame, its line, its caller,
// and the caller kept by a frame that leaves while still referenced.  If
// anything disagrees, or TARVIK_NO_LIVE_FRAMES_smsline is set, the frames
// are made for the traceback only, and one RuntimeWarning says so.
#include "runtime/python.h"

// Up to 3.10 our frames always run in the thread's frame stack (see
// choose_frame_route in compat/frames.h).
#if PY_VERSION_HEX >= 0x030B0000

#include <cstdio>
#include <cstdlib>

#include "runtime/code_objects.h"
#include "runtime/compat/frames.h"
#include "runtime/compat/thread_state.h"
#include "runtime/compat/tracing.h"
#include "runtime/ref.h"

namespace smsline {

bool frames_run_in_thread_stack = false;

namespace {

// Set as the first act of choose_frame_route(), never cleared.
bool frame_route_chosen = false;

// The environment variable that forces frames made for the traceback only
// (any value but the empty one), read once by choose_frame_route().
constexpr const char FORCE_TRACEBACK_FRAMES[] = "TARVIK_NO_LIVE_FRAMES_smsline";

// Links `frame` (of `code`) at instruction `index` as the thread's current frame.
void link_at(PyThreadState* tstate, PyFrameObject* frame, int index) noexcept {
  Py_XDECREF(smsline_frame_prepare(frame));
  smsline_frame_link(tstate, frame);
  smsline_frame_set_instruction(frame, index);
}

// Whether `got` (a new reference, or null) is `expected`; releases `got`.
bool is(PyObject* got, PyObject* expected) noexcept {
  Py_XDECREF(got);
  return got == expected;
}

// Links two frames of a code object of lines 1 to 3 and reads them back.
// Null when everything agreed, or what did not.  Every frame linked is
// unlinked again, whatever was found.
const char* linked_frames_disagree(PyThreadState* tstate) noexcept {
  Ref filename = Ref::steal(PyUnicode_FromString("<smsline frame check>"));
  Ref globals = Ref::steal(PyDict_New());
  if (!filename || !globals) return "the check could not run";
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(
      make_code("<smsline frame check>", filename.get(), 1, 3, 0, PyTuple_New(0), CODE_FLAGS_FUNCTION)));
  if (!code) return "the check could not run";
  PyCodeObject* const check_code = reinterpret_cast<PyCodeObject*>(code.get());
  Ref outer = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(tstate, check_code, globals.get(), nullptr)));
  Ref inner = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(tstate, check_code, globals.get(), nullptr)));
  if (!outer || !inner) return "the check could not run";
  PyFrameObject* const outer_frame = reinterpret_cast<PyFrameObject*>(outer.get());
  PyFrameObject* const inner_frame = reinterpret_cast<PyFrameObject*>(inner.get());
  // The caller's frame object, made now if it has none yet; held across the check.
  const Ref before = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));

  link_at(tstate, outer_frame, 1);
  link_at(tstate, inner_frame, 2);
  const char* disagreement = nullptr;
  if (PyEval_GetFrame() != inner_frame ||
      !is(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(tstate)), inner.get())) {
    disagreement = "a frame it linked was not the thread's current frame";
  } else if (PyFrame_GetLineNumber(inner_frame) != 3 || PyFrame_GetLineNumber(outer_frame) != 2) {
    disagreement = "a frame it linked did not show its line";
  } else if (!is(reinterpret_cast<PyObject*>(PyFrame_GetCode(inner_frame)), code.get()) ||
             !is(reinterpret_cast<PyObject*>(PyFrame_GetBack(inner_frame)), outer.get()) ||
             !is(reinterpret_cast<PyObject*>(PyFrame_GetBack(outer_frame)), before.get())) {
    disagreement = "a frame it linked did not show its code or its caller";
  }
  // The inner frame leaves held (the check holds it), the outer one not.
  smsline_frame_unlink(tstate, inner_frame, 1);
  smsline_frame_unlink(tstate, outer_frame, 0);
  if (disagreement == nullptr &&
      (PyEval_GetFrame() != reinterpret_cast<PyFrameObject*>(before.get()) ||
       !is(reinterpret_cast<PyObject*>(PyFrame_GetBack(inner_frame)), outer.get()) ||
       PyFrame_GetLineNumber(inner_frame) != 3)) {
    disagreement = "a frame it linked did not leave the thread's frame stack as expected";
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    if (disagreement == nullptr) disagreement = "the check could not run";
  }
  return disagreement;
}

// Why our frames cannot run in the thread's frame stack, or null when they can.
const char* frame_stack_unusable(PyThreadState* tstate) noexcept {
  const char* const forced = std::getenv(FORCE_TRACEBACK_FRAMES);
  if (forced != nullptr && forced[0] != '\0') return "the environment variable TARVIK_NO_LIVE_FRAMES_smsline is set";
  if (const char* mismatch = smsline_frame_layout_mismatch(tstate)) return mismatch;
  return linked_frames_disagree(tstate);
}

}  // namespace

bool choose_frame_route() noexcept {
  if (frame_route_chosen) return true;
  frame_route_chosen = true;
  const char* const reason = frame_stack_unusable(current_thread_state());
  if (reason == nullptr) {
    frames_run_in_thread_stack = true;
    smsline_allow_events(1);  // trace, profile and monitoring events need the live frames
    return true;
  }
  const unsigned long version = Py_Version;
  char message[400];
  std::snprintf(message, sizeof message,
                "on this interpreter (CPython %lu.%lu.%lu) the frames of smsline's functions will not be seen "
                "while they run, because %s; tracebacks still show them with their lines and locals",
                (version >> 24) & 0xff, (version >> 16) & 0xff, (version >> 8) & 0xff, reason);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

}  // namespace smsline

#endif  // 3.11 and later

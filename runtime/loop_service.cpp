// The loop service step and its process-wide countdown.
#include "runtime/loop_service.h"

#include "runtime/builtins_hook.h"
#include "runtime/compat/code_objects.h"
#include "runtime/compat/thread_state.h"
#include "runtime/compat/tracing.h"
#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

int loop_service_countdown = 20;

namespace {

// A code object of two instructions (return None) and a globals dictionary
// for it, made at the first asynchronous exception and kept for the process.
PyObject* handover_code = nullptr;
PyObject* handover_globals = nullptr;

// Hands the asynchronous exception posted to `tstate` over as the
// interpreter's own bytecode loop takes it: off the thread state, with the
// interpreter's "exception posted" signal cleared.  That signal is private to
// the bytecode loop, which clears it only when it takes an exception itself;
// left set, every thread's bytecode would go the slow way from then on.  So
// a two-instruction code object runs, with tracing held off, and fails at
// its first instruction.  Always -1, with the exception set as the loop sets
// it, without a traceback.
int take_async_exception(PyThreadState* tstate) noexcept {
  if (handover_code == nullptr) {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins_module) < 0) return -1;
    PyObject* code = return_none_code("<async exception>");
    if (code == nullptr) return -1;
    handover_code = code;
    handover_globals = globals.release();
  }
  hold_off_tracing(tstate);
  Ref result = Ref::steal(PyEval_EvalCode(handover_code, handover_globals, handover_globals));
  resume_tracing(tstate);
  if (!result) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XDECREF(traceback);  // the entry of the two-instruction frame, not ours
    PyErr_Restore(type, value, nullptr);
    return -1;
  }
  // The loop did not look (another thread's loop cleared the shared signal
  // when it took its own exception): take it off here.
  PyObject* exc = tstate->async_exc;
  tstate->async_exc = nullptr;
  if (exc == nullptr) return 0;
  PyErr_SetNone(exc);
  Py_DECREF(exc);
  return -1;
}

}  // namespace

int loop_service_run() noexcept {
  loop_service_countdown = 20;
  if (Py_MakePendingCalls() < 0 && PyErr_Occurred()) return -1;
  PyThreadState* tstate = PyThreadState_GET();
  if (interpreter_lock_exists()) {
    // Taken back as the interpreter takes it back after blocking calls: a
    // daemon thread that finds the interpreter finalizing ends there.
    PyEval_SaveThread();
    PyEval_RestoreThread(tstate);
  }
  if (tstate->async_exc != nullptr) return take_async_exception(tstate);
  return 0;
}

}  // namespace smsline

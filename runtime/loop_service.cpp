// The loop service step and its process-wide countdown.
#include "runtime/loop_service.h"

#include "runtime/python.h"

namespace smsline {

int loop_service_countdown = 20;

int loop_service_run() noexcept {
  loop_service_countdown = 20;
  if (Py_MakePendingCalls() < 0 && PyErr_Occurred()) return -1;
  PyThreadState* tstate = PyThreadState_GET();
  if (PyEval_ThreadsInitialized()) {
    PyEval_SaveThread();
    PyEval_AcquireThread(tstate);
  }
  if (tstate->async_exc != nullptr) {
    PyObject* exc = tstate->async_exc;
    tstate->async_exc = nullptr;
    PyErr_SetNone(exc);
    Py_DECREF(exc);
    return -1;
  }
  return 0;
}

}  // namespace smsline

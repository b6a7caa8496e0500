// Calls of built-ins from our function bodies under a profile function.
#include "runtime/body_calls.h"

namespace smsline {

Ref call_profiled(PyObject* callable, PyObject* const* args, std::size_t count, PyObject* kwargs) noexcept {
  PyThreadState* const tstate = current_thread_state();
  if (!PyCFunction_Check(callable) || !profiling_wanted(tstate)) return call_array(callable, args, count, kwargs);
  const Ref function = Ref::borrow(callable);  // the events name it after the call too
  if (send_c_call_event(tstate, function.get()) < 0) return Ref();
  Ref result = call_array(function.get(), args, count, kwargs);
  if (send_c_return_event(tstate, function.get(), !result) < 0) return Ref();
  return result;
}

}  // namespace smsline

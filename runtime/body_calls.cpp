// Calls of built-ins from our function bodies under a profile function.
#include "runtime/body_calls.h"

#include "runtime/compat/calls.h"

namespace smsline {

namespace {

// The call itself, through the interpreter's own entry (this path is rare:
// the bodies' fast calls stay as they are).
Ref call_plainly(PyThreadState* tstate, PyObject* callable, PyObject* const* args, std::size_t count,
                 PyObject* kwnames) noexcept {
  return Ref::steal(vector_call(tstate, callable, args, count, kwnames));
}

}  // namespace

Ref call_profiled(PyObject* callable, PyObject* const* args, std::size_t count, PyObject* kwnames) noexcept {
  PyThreadState* const tstate = current_thread_state();
  const Ref function = Ref::borrow(callable);  // held for the call, and the events name it after it
  if (!PyCFunction_Check(callable) || !profiling_wanted(tstate)) {
    return call_plainly(tstate, callable, args, count, kwnames);
  }
  // The first argument is held too: the events name it after the call.
  const Ref first = Ref::borrow(count > 0 ? args[0] : nullptr);
  if (send_c_call_event(tstate, function.get(), first.get()) < 0) return Ref();
  Ref result = call_plainly(tstate, function.get(), args, count, kwnames);
  if (send_c_return_event(tstate, function.get(), first.get(), !result) < 0) return Ref();
  return result;
}

Ref call_method_profiled(PyObject* target, PyObject* name, PyObject* const* args, std::size_t count) noexcept {
  Ref bound = look_up_profiled(target, name);
  return bound ? call_profiled(bound.get(), args, count, nullptr) : Ref();
}

Ref look_up_profiled(PyObject* target, PyObject* name) noexcept { return get_attribute(target, name); }


}  // namespace smsline

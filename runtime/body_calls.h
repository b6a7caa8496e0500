// Calls written in our function bodies, made as the bytecode loop makes them, profile events included.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "runtime/calls.h"
#include "runtime/python.h"
#include "runtime/ref.h"
#include "runtime/tracing.h"

namespace smsline {

// The call of `callable` while a profile function is set: around a built-in
// function or bound built-in method (what the interpreter's CALL_FUNCTION
// reports), the c_call event, then c_return or c_exception, as the
// interpreter sends them; anything else is called as it is.  Arguments as
// call_array takes them.  Null on failure.
__attribute__((noinline, cold)) Ref call_profiled(PyObject* callable, PyObject* const* args, std::size_t count,
                                                  PyObject* kwnames) noexcept;
// `target.name(args)` under a profile function: the attribute as it is,
// then call_profiled.
__attribute__((noinline, cold)) Ref call_method_profiled(PyObject* target, PyObject* name, PyObject* const* args,
                                                         std::size_t count) noexcept;
// The attribute `target.name` as it is (under a profile function).
__attribute__((noinline, cold)) Ref look_up_profiled(PyObject* target, PyObject* name) noexcept;

// `callable(args)` in a body, on the calling thread whose state is
// `tstate` (a body reads it once, at its start).  Null on failure.
inline Ref body_call(PyThreadState* tstate, PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
  if (__builtin_expect(profiling_wanted(tstate), 0)) {
    return call_profiled(callable, args.begin(), args.size(), nullptr);
  }
  return call_array(tstate, callable, args.begin(), args.size());
}
inline Ref body_call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
  return body_call(current_thread_state(), callable, args);
}

// `target.name(...)` in a body, as a Method: the lookup, then the call.
// Under a profile function the attribute is looked up as it is (a bound
// built-in method, for the events); otherwise as Method looks it up.
class BodyMethod {
 public:
  // For a call with `count` positional and `keywords` keyword arguments.
  // Kept in the body (the link-time optimiser may otherwise leave it out of
  // line, a call and return more at each method call).
  __attribute__((always_inline)) bool look_up(PyThreadState* tstate, PyObject* target, PyObject* name,
                                              std::size_t count, std::size_t keywords = 0) noexcept {
    if (__builtin_expect(profiling_wanted(tstate), 0)) {
      bound_ = look_up_profiled(target, name);
      return static_cast<bool>(bound_);
    }
    return method_.look_up(tstate, target, name, count, keywords);
  }
  bool look_up(PyObject* target, PyObject* name, std::size_t count, std::size_t keywords = 0) noexcept {
    return look_up(current_thread_state(), target, name, count, keywords);
  }
  // `args` holds the positional arguments, then the values of the keywords
  // named in `kwnames` (null: none), as call_array takes them.
  Ref call(PyThreadState* tstate, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const noexcept {
    const std::size_t count = args.size() - keyword_count(kwnames);
    if (bound_) return call_profiled(bound_.get(), args.begin(), count, kwnames);
    return method_.call(tstate, args.begin(), count, kwnames);
  }
  Ref call(std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const noexcept {
    return call(current_thread_state(), args, kwnames);
  }

 private:
  Method method_;
  Ref bound_;  // the attribute, when looked up under a profile function
};

// `target.name(args)` in a body.  Null on failure.
inline Ref body_call_method(PyThreadState* tstate, PyObject* target, PyObject* name,
                            std::initializer_list<PyObject*> args) noexcept {
  if (__builtin_expect(profiling_wanted(tstate), 0)) {
    return call_method_profiled(target, name, args.begin(), args.size());
  }
  return call_method(tstate, target, name, args);
}
inline Ref body_call_method(PyObject* target, PyObject* name, std::initializer_list<PyObject*> args) noexcept {
  return body_call_method(current_thread_state(), target, name, args);
}

}  // namespace smsline

// Catching exceptions inside our functions: handler entry and exit, and class matching.
#pragma once

#include "runtime/frames.h"
#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

// The code that examines a caught exception.  enter() takes the pending
// exception, gives it the traceback entry of the catching frame (with the
// exception event for a trace function, and from 3.12 the handled event
// for monitoring tools) and makes it
// the thread's handled exception (what sys.exc_info() reports, and the
// context of anything raised meanwhile); the destructor puts back the
// handled exception that was set aside.  In between, the caught exception is
// either discarded (the default) or made pending again by reraise().
class ExceptionHandler {
 public:
  ExceptionHandler() noexcept = default;
  ExceptionHandler(const ExceptionHandler&) = delete;
  ExceptionHandler& operator=(const ExceptionHandler&) = delete;
  ~ExceptionHandler() { exit(); }

  void enter(ActiveFrame& frame, int line) noexcept;
  PyObject* type() const noexcept { return type_.get(); }
  // The caught exception (normalized).
  PyObject* value() const noexcept { return value_.get(); }

  // Makes the caught exception pending again, unchanged.
  void reraise() noexcept;
  // Handler exit; a caught exception not re-raised is discarded.
  void exit() noexcept;

 private:
  bool active_ = false;
  Ref type_, value_, traceback_;
  PyObject *saved_type_ = nullptr, *saved_value_ = nullptr, *saved_traceback_ = nullptr;  // owned
};

// Whether an exception of class `exc_type` is caught by a handler naming
// `classes` (one class or a tuple of them): 1 match, 0 no match, -1 failure
// (TypeError when a named class does not derive from BaseException).
int exception_matches(PyObject* exc_type, PyObject* classes) noexcept;

}  // namespace smsline

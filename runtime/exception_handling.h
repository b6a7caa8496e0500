// Catching exceptions inside our functions: handler entry and exit, and class matching.
#pragma once

#include "runtime/compat/exception_state.h"
#include "runtime/frames.h"
#include "runtime/python.h"

namespace smsline {

// The code that examines a caught exception.  enter() takes the pending
// exception, gives it the traceback entry of the catching frame (with the
// exception event for a trace function, and from 3.12 the handled event
// for monitoring tools) and makes it
// the thread's handled exception (what sys.exc_info() reports, and the
// context of anything raised meanwhile); the destructor puts back the
// handled exception that was set aside.  In between, the caught exception is
// either discarded (the default) or made pending again by reraise().
//
// A handler that may drop the exception unseen enters quietly instead:
// while no trace, profile or monitoring tool listens, while nothing else
// holds the exception's object, and for as long as the handler runs no code
// of anyone's, nothing can see the traceback entry, the exception's object
// or the handled exception, so none is made yet.
// Before anything that can run code the handler calls observe(), which makes
// all of it exactly as enter() would have (the entry at the line where the
// exception was caught); an exception dropped while still quiet never had
// any of it.
class ExceptionHandler {
 public:
  ExceptionHandler() noexcept = default;
  ExceptionHandler(const ExceptionHandler&) = delete;
  ExceptionHandler& operator=(const ExceptionHandler&) = delete;
  ~ExceptionHandler() { exit(); }

  void enter(ActiveFrame& frame, int line) noexcept;
  // Handler entry for the exception caught at `line` that defers all of
  // enter() while nothing listens (else it is enter()).
  void enter_quietly(ActiveFrame& frame, int line) noexcept;
  // Whether it was entered quietly and not observed since.
  bool quiet() const noexcept { return quiet_; }
  // While quiet: the exception's class once made, when that is known
  // without running code (else null; borrowed).
  PyObject* quiet_class() const noexcept { return class_once_made(caught_); }
  // What enter() makes, now (nothing when not quiet).
  void observe(ActiveFrame& frame) noexcept;

  // The caught exception's class and object (once entered, not quietly).
  PyObject* type() const noexcept {
    return EXCEPTIONS_MADE_WHEN_RAISED ? reinterpret_cast<PyObject*>(Py_TYPE(caught_.value)) : caught_.type;
  }
  PyObject* value() const noexcept { return caught_.value; }

  // Makes the caught exception pending again, unchanged.
  void reraise() noexcept;
  // Handler exit; a caught exception not re-raised is discarded.
  void exit() noexcept;

 private:
  PyThreadState* tstate_ = nullptr;  // the catching frame's thread
  bool active_ = false;          // entered (not quietly), the handled exception not yet put back
  bool quiet_ = false;
  int line_ = 0;                 // where a quiet handler caught its exception
  TakenException caught_;        // the caught exception: as it was pending while quiet, else made
  TakenException saved_;         // the handled exception it replaced, while active
};

// Whether an exception of class `exc_type` is caught by a handler naming
// the one exception class `handler_class` (as the interpreter matches it:
// a subclass test, no metaclass hook).
bool caught_by(PyObject* exc_type, PyObject* handler_class) noexcept;

// Whether an exception of class `exc_type` is caught by a handler naming
// `classes` (one class or a tuple of them): 1 match, 0 no match, -1 failure
// (TypeError when a named class does not derive from BaseException).
int exception_matches(PyObject* exc_type, PyObject* classes) noexcept;

}  // namespace smsline

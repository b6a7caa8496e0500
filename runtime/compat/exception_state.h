// The thread's handled exception (what sys.exc_info() reports) on each interpreter version.
#pragma once

#include <utility>

#include "runtime/python.h"

namespace smsline {

// Exchanges the thread's handled exception with (type, value, traceback):
// afterwards the thread holds the given references and the variables hold
// the ones it had.  3.6 keeps the triple on the thread state itself; from
// 3.7 it is the top item of the thread's stack of handled exceptions (the
// running generator's own item while one runs), where the interpreter's
// except blocks put it too.  From 3.11 the item holds the exception alone
// (its type and traceback are read from it): only `value` is exchanged, and
// `type` and `traceback` keep what they hold.
inline void swap_handled_exception(PyThreadState* tstate, PyObject*& type, PyObject*& value,
                                   PyObject*& traceback) noexcept {
#if PY_VERSION_HEX < 0x03070000
  std::swap(tstate->exc_type, type);
  std::swap(tstate->exc_value, value);
  std::swap(tstate->exc_traceback, traceback);
#elif PY_VERSION_HEX < 0x030B0000
  _PyErr_StackItem* const item = tstate->exc_info;
  std::swap(item->exc_type, type);
  std::swap(item->exc_value, value);
  std::swap(item->exc_traceback, traceback);
#else
  (void)type;
  (void)traceback;
  std::swap(tstate->exc_info->exc_value, value);
#endif
}

}  // namespace smsline

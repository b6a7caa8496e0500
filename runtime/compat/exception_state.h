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
// Whether the thread's handled exception is the exception's object alone (3.11 on).
constexpr bool HANDLED_EXCEPTION_IS_OBJECT = PY_VERSION_HEX >= 0x030B0000;

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

// The pending exception, taken off the thread as it stands: up to 3.11 its
// type, value and traceback (the value possibly not yet an exception object:
// a message, a tuple of arguments, nothing); from 3.12 the exception object
// alone, always made when it was raised (type and traceback stay null).
struct TakenException {
  PyObject* type = nullptr;  // owned
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// Whether the interpreter makes a raised exception's object at once (3.12
// on), rather than when a handler first looks at it.
constexpr bool EXCEPTIONS_MADE_WHEN_RAISED = PY_VERSION_HEX >= 0x030C0000;

// (PyErr_Fetch up to 3.11, PyErr_GetRaisedException from 3.12, read from
// the thread state already at hand.)
inline void take_pending_exception(PyThreadState* tstate, TakenException& taken) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  taken.type = std::exchange(tstate->curexc_type, nullptr);
  taken.value = std::exchange(tstate->curexc_value, nullptr);
  taken.traceback = std::exchange(tstate->curexc_traceback, nullptr);
#else
  taken.value = std::exchange(tstate->current_exception, nullptr);
#endif
}

// Makes it pending again; `taken` is left empty.  (PyErr_Restore up to
// 3.11, which drops a traceback that is not one, and
// PyErr_SetRaisedException from 3.12: whatever was pending meanwhile is
// released, last.)
inline void restore_pending_exception(PyThreadState* tstate, TakenException& taken) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (taken.traceback != nullptr && !PyTraceBack_Check(taken.traceback)) Py_CLEAR(taken.traceback);
  PyObject* const old_type = std::exchange(tstate->curexc_type, taken.type);
  PyObject* const old_value = std::exchange(tstate->curexc_value, taken.value);
  PyObject* const old_traceback = std::exchange(tstate->curexc_traceback, taken.traceback);
  taken = TakenException{};
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_traceback);
#else
  PyObject* const old = std::exchange(tstate->current_exception, taken.value);
  taken = TakenException{};
  Py_XDECREF(old);
#endif
}

// Where the taken exception's traceback head is kept (an owned reference,
// possibly null): beside it up to 3.11, in its object from 3.12; null when
// there is no exception object to keep it.
inline PyObject** taken_traceback_head(TakenException& taken) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return taken.type != nullptr ? &taken.traceback : nullptr;
#else
  if (taken.value == nullptr || !PyExceptionInstance_Check(taken.value)) return nullptr;
  return &reinterpret_cast<PyBaseExceptionObject*>(taken.value)->traceback;
#endif
}

// PyException_SetTraceback(exception, traceback), inline for what a
// handler stores (an exception object and a traceback); the rest is the
// interpreter's to check and refuse.
inline void set_exception_traceback(PyObject* exception, PyObject* traceback) noexcept {
  if (!PyExceptionInstance_Check(exception) || !PyTraceBack_Check(traceback)) {
    PyException_SetTraceback(exception, traceback);
    return;
  }
  Py_INCREF(traceback);
  Py_XSETREF(reinterpret_cast<PyBaseExceptionObject*>(exception)->traceback, traceback);
}

// Whether the taken exception is already as PyErr_NormalizeException would
// leave it, with nothing run to find that out: its object's class is its
// type, whose metaclass is `type` itself (the check asks any other
// metaclass's __subclasscheck__).  Always from 3.12.
inline bool exception_already_made(const TakenException& taken) noexcept {
  if constexpr (EXCEPTIONS_MADE_WHEN_RAISED) return true;
  return taken.value != nullptr && PyExceptionInstance_Check(taken.value) &&
         reinterpret_cast<PyObject*>(Py_TYPE(taken.value)) == taken.type && Py_TYPE(taken.type) == &PyType_Type;
}

// The class that the taken exception has once its object is made, as the
// interpreter makes it when a handler looks at it (PyErr_NormalizeException),
// when that is known without running anyone's code; else null (borrowed).
// Known: an exception object whose class is the taken type or derives from
// it, when the type's metaclass is `type` itself (the check asks any other
// metaclass's __subclasscheck__); or a type of the interpreter's OSError
// family, made by OSError's own constructor from a message or from nothing
// (with a tuple it may choose a subclass by errno).  From 3.12 the object's class.
inline PyObject* class_once_made(const TakenException& taken) noexcept {
  if constexpr (EXCEPTIONS_MADE_WHEN_RAISED) {
    return taken.value != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(taken.value)) : nullptr;
  }
  PyObject* const type = taken.type;
  PyObject* const value = taken.value;
  if (type == nullptr || !PyExceptionClass_Check(type) || Py_TYPE(type) != &PyType_Type) return nullptr;
  PyTypeObject* const type_object = reinterpret_cast<PyTypeObject*>(type);
  if (value != nullptr && PyExceptionInstance_Check(value)) {
    PyTypeObject* const made = Py_TYPE(value);
    return made == type_object || PyType_IsSubtype(made, type_object) ? reinterpret_cast<PyObject*>(made) : nullptr;
  }
  PyTypeObject* const os_error = reinterpret_cast<PyTypeObject*>(PyExc_OSError);
  const bool plain_value = value == nullptr || value == Py_None || PyUnicode_CheckExact(value);
  const bool os_error_made = !(type_object->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                             type_object->tp_new == os_error->tp_new && type_object->tp_init == os_error->tp_init &&
                             PyType_IsSubtype(type_object, os_error);
  return plain_value && os_error_made ? type : nullptr;
}

}  // namespace smsline

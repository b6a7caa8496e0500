// The thread state as the runtime reads it on each interpreter version: current thread, pending error, recursion guard.
#pragma once

#include <cstdint>

#include "runtime/python.h"

#if PY_VERSION_HEX < 0x03070000
// 3.6 keeps the current thread state in an exported variable: what
// PyThreadState_Get() returns, read here without the call (outside the
// interpreter's core the headers make PyThreadState_GET() that call).
struct SmslineAtomicAddress {
  std::uintptr_t value;
};
extern "C" SmslineAtomicAddress _PyThreadState_Current;
#endif

namespace smsline {

// The current thread state; the caller holds the interpreter lock.
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX < 0x03070000
  return reinterpret_cast<PyThreadState*>(__atomic_load_n(&_PyThreadState_Current.value, __ATOMIC_RELAXED));
#elif PY_VERSION_HEX < 0x030D0000
  // From 3.7 the record lives inside the runtime's internal state.
  return _PyThreadState_UncheckedGet();
#else
  return PyThreadState_GetUnchecked();
#endif
}

// Whether the calling thread runs in the main interpreter, the one the
// process started with, rather than in a sub-interpreter.
inline bool in_main_interpreter() noexcept {
  PyInterpreterState* const current = current_thread_state()->interp;
#if PY_VERSION_HEX < 0x03070000
  // 3.6 names no main interpreter: it is the first one made, and each later
  // one goes to the head of the list (walked under the interpreter lock,
  // which every interpreter of 3.6 shares).
  PyInterpreterState* main = PyInterpreterState_Head();
  for (PyInterpreterState* next = main; next != nullptr; next = PyInterpreterState_Next(next)) main = next;
  return current == main;
#else
  return current == PyInterpreterState_Main();
#endif
}

// PyErr_Occurred() != nullptr, read inline: from 3.12 the thread holds the
// pending exception alone, no longer its type, value and traceback.
inline bool error_pending(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return tstate->curexc_type != nullptr;
#else
  return tstate->current_exception != nullptr;
#endif
}

// The head entry of the pending exception's traceback (borrowed), or null.
inline PyObject* pending_traceback(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return tstate->curexc_traceback;
#else
  PyObject* const exception = tstate->current_exception;
  return exception != nullptr ? reinterpret_cast<PyBaseExceptionObject*>(exception)->traceback : nullptr;
#endif
}
inline bool error_pending() noexcept { return error_pending(current_thread_state()); }

// Py_EnterRecursiveCall(" while calling a Python object") and
// Py_LeaveRecursiveCall() for a thread state already at hand.  Up to 3.8
// the guard is a macro over the thread state's depth, inlined here.  On 3.9
// and 3.10 it is a function of the interpreter around the same depth (a
// public field) and the interpreter's limit (private): the count is kept
// here and the limit read through Py_GetRecursionLimit(), and past it the
// interpreter's own check decides and raises, reading the limit again.
// From 3.11 the guard counts a budget down in a public field of the thread
// state (recursion_remaining in 3.11, c_recursion_remaining from 3.12) and
// calls the interpreter's check only once the budget is spent, as the
// interpreter's inline form does; the function form would read the thread
// state again, a call into the interpreter's thread-local storage per call.
#if PY_VERSION_HEX >= 0x03090000
extern "C" int _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);  // exported; internal header
#endif
inline bool enter_call([[maybe_unused]] PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x03090000
  return _Py_MakeRecCheck(tstate->recursion_depth) && _Py_CheckRecursiveCall(" while calling a Python object");
#elif PY_VERSION_HEX < 0x030B0000
  return ++tstate->recursion_depth > Py_GetRecursionLimit() &&
         _Py_CheckRecursiveCall(tstate, " while calling a Python object") != 0;
#else
#if PY_VERSION_HEX < 0x030C0000
  const bool spent = tstate->recursion_remaining-- <= 0;
#elif PY_VERSION_HEX < 0x030D0000
  const bool spent = tstate->c_recursion_remaining-- <= 0;
#else
  const bool spent = tstate->c_recursion_remaining-- < 0;
#endif
  return spent && _Py_CheckRecursiveCall(tstate, " while calling a Python object") != 0;
#endif
}
inline void leave_call([[maybe_unused]] PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x03090000
  if (_Py_MakeEndRecCheck(tstate->recursion_depth)) tstate->overflowed = 0;
#elif PY_VERSION_HEX < 0x030B0000
  --tstate->recursion_depth;
#elif PY_VERSION_HEX < 0x030C0000
  ++tstate->recursion_remaining;
#else
  ++tstate->c_recursion_remaining;
#endif
}

// The C stack of the calling thread as our functions see it: a call may
// start at an address in [floor, top); below floor, down to the stack's
// lowest address (bottom), lies a margin kept for what a refused call's
// callers run on the way out (the interpreter's unwinding, trace
// functions, destructors).  All zero until the thread's first call of one
// of our functions, which finds the stack's bounds (c_stack_has_room_slow);
// a thread whose bounds cannot be had gets the whole address space.  In the
// initial-exec model: the three words come out of the static block that the
// C library keeps for libraries loaded later, and are read at a fixed offset
// from the thread pointer, with no call to the dynamic linker (whose
// library, ld-linux, the extension would then need as well).
struct CStackRoom {
  std::uintptr_t floor;
  std::uintptr_t top;
  std::uintptr_t bottom;
};
inline thread_local CStackRoom c_stack_room [[gnu::tls_model("initial-exec")]] = {0, 0, 0};

// The part of c_stack_has_room that is not inline: the bounds at a thread's
// first call, and the refusal (false with RecursionError set).
bool c_stack_has_room_slow(std::uintptr_t here) noexcept;

// Whether the calling thread's C stack has room for a call of one of our
// functions; false with RecursionError set when it has not.  A function
// that calls Python code which calls it again takes C stack at each level,
// where an interpreted function on 3.11 and later takes none, and the
// interpreter's recursion limit (which a program may raise as high as it
// likes) does not count C stack before 3.12 nor bound it on a thread with a
// small stack after: this check ends deep re-entry with RecursionError on
// every version, never with a crash.
inline bool c_stack_has_room() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const CStackRoom& room = c_stack_room;
  if (here - room.floor < room.top - room.floor) return true;
  return c_stack_has_room_slow(here);
}

// Whether the interpreter lock exists (it always does from 3.7, where
// PyEval_ThreadsInitialized is deprecated).
inline bool interpreter_lock_exists() noexcept {
#if PY_VERSION_HEX < 0x03070000
  return PyEval_ThreadsInitialized() != 0;
#else
  return true;
#endif
}

}  // namespace smsline

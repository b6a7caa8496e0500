// Making a code object on each interpreter version: its constructor's arguments and flags.
#pragma once

#include "runtime/python.h"
// After the interpreter's main header, which 3.6's opcode.h needs first.
#include <opcode.h>
#include "runtime/ref.h"

namespace smsline {

// CO_NOFREE ("no free or cell variables") is a flag up to 3.10; from 3.11
// the interpreter derives it and the flag is gone.
#if PY_VERSION_HEX < 0x030B0000
constexpr int CODE_FLAG_NOFREE = CO_NOFREE;
#else
constexpr int CODE_FLAG_NOFREE = 0;
#endif

// The opcode of the first instruction of our code objects (each of the
// others is a POP_TOP).  From 3.11 the interpreter counts a frame whose
// instruction pointer stands before its code's first RESUME as one that
// has not started yet, and passes over it wherever it walks the running
// frames (sys._getframe, f_back, PyEval_GetFrame): the first instruction
// is a RESUME there, as in a compiled function, on the first line.
#if PY_VERSION_HEX < 0x030B0000
constexpr int FIRST_OPCODE = POP_TOP;
#else
constexpr int FIRST_OPCODE = RESUME;
#endif

// Whether the compiler runs a comprehension in the frame of the function
// that holds it (PEP 709, from 3.12): its loop variable is then a local of
// that function, bound while the comprehension runs; up to 3.11 a
// comprehension is a function of its own ("<listcomp>") with a frame of
// its own.
constexpr bool COMPREHENSIONS_INLINED = PY_VERSION_HEX >= 0x030C0000;

// The code object's local variable names (borrowed): co_varnames up to
// 3.10; from 3.11 the names of all its local slots, which are the same
// names for our code objects (no cell or free variables).
inline PyObject* code_varnames(PyCodeObject* code) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  return code->co_varnames;
#else
  return code->co_localsplusnames;
#endif
}

// A code object with no constants, names, free or cell variables and stack
// size 0.  From 3.11 the constructor also takes the qualified name (here
// the name itself: our functions are defined at module level) and an
// exception table (empty: nothing is caught by bytecode).  New reference,
// or null with an exception set.
inline PyCodeObject* new_code(int argcount, int flags, PyObject* code_bytes, PyObject* varnames, PyObject* filename,
                              PyObject* name, int first_line, PyObject* line_table, PyObject* empty_tuple) noexcept {
  const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if PY_VERSION_HEX < 0x030B0000
  return PyCode_New(argcount, 0, nlocals, 0, flags, code_bytes, empty_tuple, empty_tuple, varnames, empty_tuple,
                    empty_tuple, filename, name, first_line, line_table);
#else
  const Ref exception_table = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  if (!exception_table) return nullptr;
#if PY_VERSION_HEX < 0x030C0000
  return PyCode_New(argcount, 0, nlocals, 0, flags, code_bytes, empty_tuple, empty_tuple, varnames, empty_tuple,
                    empty_tuple, filename, name, name, first_line, line_table, exception_table.get());
#else
  // Renamed in 3.12, same arguments.
  return PyUnstable_Code_New(argcount, 0, nlocals, 0, flags, code_bytes, empty_tuple, empty_tuple, varnames,
                             empty_tuple, empty_tuple, filename, name, name, first_line, line_table,
                             exception_table.get());
#endif
#endif
}

// A code object named `name` that returns None, and whose first
// instruction is one where the bytecode loop looks at its pending signals.
// Up to 3.10 two instructions written here (LOAD_CONST None, RETURN_VALUE);
// from 3.11 the compiler's own (its entry instruction does the looking).
// New reference, or null with an exception set.
inline PyObject* return_none_code(const char* name) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  static const char code_bytes[] = {100, 0, 83, 0};  // LOAD_CONST 0 (None); RETURN_VALUE
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(code_bytes, sizeof code_bytes));
  Ref consts = Ref::steal(PyTuple_Pack(1, Py_None));
  Ref empty = Ref::steal(PyTuple_New(0));
  Ref code_name = Ref::steal(PyUnicode_FromString(name));
  Ref table = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  if (!bytes || !consts || !empty || !code_name || !table) return nullptr;
  return reinterpret_cast<PyObject*>(PyCode_New(0, 0, 0, 1, CO_NOFREE, bytes.get(), consts.get(), empty.get(),
                                                empty.get(), empty.get(), empty.get(), code_name.get(),
                                                code_name.get(), 1, table.get()));
#else
  return Py_CompileString("None", name, Py_eval_input);
#endif
}

}  // namespace smsline

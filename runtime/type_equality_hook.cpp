// Type equality that compares the runtime's function type as the interpreter's.
#include "runtime/interpreter_hooks.h"

#include "runtime/function_object.h"
#include "runtime/python.h"

namespace smsline {

namespace {

// The interpreter's rich comparison of types, kept when the hook is installed.
richcmpfunc original_type_richcompare = nullptr;
bool type_equality_hook_installed = false;  // set when duty 6 first runs

PyObject* as_interpreter_type(PyObject* operand) noexcept {
  return operand == reinterpret_cast<PyObject*>(&function_type) ? reinterpret_cast<PyObject*>(&PyFunction_Type)
                                                                : operand;
}

PyObject* type_richcompare_hook(PyObject* left, PyObject* right, int op) noexcept {
  if (op == Py_EQ || op == Py_NE) {
    left = as_interpreter_type(left);
    right = as_interpreter_type(right);
  }
  return original_type_richcompare(left, right, op);
}

}  // namespace

void install_type_equality_hook() noexcept {
  if (type_equality_hook_installed) return;
  type_equality_hook_installed = true;
  original_type_richcompare = PyType_Type.tp_richcompare;
  if (original_type_richcompare == nullptr) original_type_richcompare = PyBaseObject_Type.tp_richcompare;
  PyType_Type.tp_richcompare = type_richcompare_hook;
}

}  // namespace smsline

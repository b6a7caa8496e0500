// The replacement of builtins.isinstance that knows the runtime's function type.
#include "runtime/interpreter_hooks.h"

#include <cstring>

#include "runtime/builtins_hook.h"
#include "runtime/calls.h"
#include "runtime/compat/calls.h"
#include "runtime/function_object.h"
#include "runtime/ref.h"

namespace smsline {

namespace {

// The isinstance that the hook replaced (the interpreter's own, or one the
// user installed before us), kept when the hook is installed.  Every
// question the hook does not answer itself goes to it.
PyObject* original_isinstance = nullptr;
// Whether original_isinstance is the interpreter's own: its answer is then
// PyObject_IsInstance's, which the hook calls directly.
bool original_is_builtin = false;
bool isinstance_hook_installed = false;  // set when duty 5 first runs

// isinstance(obj, classes) as the replaced isinstance answers it: 1, 0 or -1.
int original_answer(PyObject* obj, PyObject* classes) noexcept {
  if (original_is_builtin) return PyObject_IsInstance(obj, classes);
  const Ref original = Ref::borrow(original_isinstance);
  Ref answer = call(original.get(), {obj, classes});
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// isinstance(obj, classes) for one of our functions: the interpreter's
// function type counts as a match, at any depth of nested tuples, in order.
int function_isinstance(PyObject* obj, PyObject* classes) noexcept {
  if (classes == reinterpret_cast<PyObject*>(&PyFunction_Type)) return 1;
  if (PyTuple_Check(classes)) {
    if (Py_EnterRecursiveCall(" in __instancecheck__")) return -1;
    int answer = 0;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(classes); answer == 0 && i < n; ++i) {
      answer = function_isinstance(obj, PyTuple_GET_ITEM(classes, i));
    }
    Py_LeaveRecursiveCall();
    return answer;
  }
  return original_answer(obj, classes);
}

PyObject* isinstance_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    PyErr_SetString(PyExc_TypeError, "isinstance() takes no keyword arguments");
    return nullptr;
  }
  if (nargs != 2) {
    // The text PyArg_UnpackTuple gives for exactly two arguments.
    PyErr_Format(PyExc_TypeError, "isinstance expected 2 arguments, got %zd", nargs);
    return nullptr;
  }
  if (Py_TYPE(args[0]) != &function_type && !original_is_builtin) {
    // Anything but our functions: the replaced isinstance's own answer.
    const Ref original = Ref::borrow(original_isinstance);
    return call(original.get(), {args[0], args[1]}).release();
  }
  int answer = Py_TYPE(args[0]) == &function_type ? function_isinstance(args[0], args[1])
                                                  : PyObject_IsInstance(args[0], args[1]);
  if (answer < 0) return nullptr;
  return PyBool_FromLong(answer);
}

PyMethodDef isinstance_def = {
    "isinstance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(isinstance_hook)),
    METH_FASTCALL_KEYWORDS, nullptr};

}  // namespace

bool install_isinstance_hook() noexcept {
  if (isinstance_hook_installed) return true;
  isinstance_hook_installed = true;
  original_isinstance = PyDict_GetItemString(builtins_dict, "isinstance");
  if (original_isinstance == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "builtins has no isinstance to extend");
    return false;
  }
  Py_INCREF(original_isinstance);
  // The interpreter's own is the built-in function "isinstance" of the
  // builtins module; its documentation becomes ours.
  if (PyCFunction_Check(original_isinstance)) {
    PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(original_isinstance)->m_ml;
    original_is_builtin = PyCFunction_GET_SELF(original_isinstance) == builtins_module &&
                          std::strcmp(method->ml_name, "isinstance") == 0;
    if (original_is_builtin) isinstance_def.ml_doc = method->ml_doc;
  }
  Ref module_name = Ref::steal(PyUnicode_FromString("builtins"));
  if (!module_name) return false;
  Ref hook = Ref::steal(PyCFunction_NewEx(&isinstance_def, nullptr, module_name.get()));
  if (!hook) return false;
  return PyObject_SetAttrString(builtins_module, "isinstance", hook.get()) == 0;
}

}  // namespace smsline

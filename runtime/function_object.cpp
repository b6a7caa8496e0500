// The runtime's function type: attributes, argument binding, descriptor and repr.
#include "runtime/function_object.h"

#include <structmember.h>

#include "runtime/compat/calls.h"
#include "runtime/compat/code_objects.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {

namespace {

// Upper bound on parameters that a function of ours declares.
constexpr Py_ssize_t max_parameters = 8;

struct FunctionObject {
  PyObject_HEAD
  PyCodeObject* code;
  PyObject* globals;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* annotations;  // null until first read when made without any
  PyObject* dict;
  PyObject* weakrefs;
  FunctionBody body;
  VectorcallEntry vectorcall;  // function_vectorcall: the interpreter calls it (3.8 on)
};

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'", as the interpreter lists missing arguments.
PyObject* join_missing(PyObject* const* names, Py_ssize_t count) noexcept {
  Ref text = Ref::steal(PyUnicode_FromFormat("%R", names[0]));
  for (Py_ssize_t i = 1; text && i < count; ++i) {
    const char* separator = (i == count - 1) ? (count == 2 ? " and " : ", and ") : ", ";
    text = Ref::steal(PyUnicode_FromFormat("%U%s%R", text.get(), separator, names[i]));
  }
  return text.release();
}

// Binds a call's arguments to the parameters as the interpreter does for a
// function of positional-or-keyword parameters without defaults, with its
// checks in its order and its messages: `given` positional arguments at
// `args`, and the keywords named in `kwnames` (null: none) with their
// values at `values`.  `bound` receives references borrowed from `args` and
// `values`, which the caller holds for the call.  0 on success, -1 with an
// exception set.
int bind_arguments(FunctionObject* fn, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
                   PyObject* const* values, PyObject** bound) noexcept {
  PyCodeObject* code = fn->code;
  const Py_ssize_t params = code->co_argcount;
  PyObject* name = code->co_name;
  for (Py_ssize_t i = 0; i < params; ++i) bound[i] = i < given ? args[i] : nullptr;

  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", name);
      return -1;
    }
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < params; ++i) {
      PyObject* param = PyTuple_GET_ITEM(code_varnames(code), i);
      if (param == keyword) {
        index = i;
        break;
      }
    }
    for (Py_ssize_t i = 0; index < 0 && i < params; ++i) {
      int equal = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(code_varnames(code), i), Py_EQ);
      if (equal < 0) return -1;
      if (equal) index = i;
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", name, keyword);
      return -1;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", name, keyword);
      return -1;
    }
    bound[index] = values[k];
  }
  if (given > params) {
    PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", name, params,
                 params == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    return -1;
  }
  PyObject* missing[max_parameters];
  Py_ssize_t missing_count = 0;
  for (Py_ssize_t i = 0; i < params; ++i) {
    if (bound[i] == nullptr) missing[missing_count++] = PyTuple_GET_ITEM(code_varnames(code), i);
  }
  if (missing_count > 0) {
    Ref names = Ref::steal(join_missing(missing, missing_count));
    if (!names) return -1;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", name,
                 missing_count, missing_count == 1 ? "" : "s", names.get());
    return -1;
  }
  return 0;
}

// A call of the function: `given` positional arguments, then the values of
// the keywords in `kwnames` (null: none), all held by the caller.
PyObject* call_body(FunctionObject* fn, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) noexcept {
  if (given == fn->code->co_argcount && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
    // Every parameter given by position and no keywords: nothing to check.
    return fn->body(args);
  }
  PyObject* bound[max_parameters] = {};
  if (bind_arguments(fn, args, given, kwnames, args + given, bound) < 0) return nullptr;
  return fn->body(bound);
}

// The vector call, as the interpreter makes it from 3.8 (with a tuple and a
// dictionary, its PyVectorcall_Call turns them into this).
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  return call_body(as_function(self), args, vectorcall_count(nargsf), kwnames);
}

// The call with a tuple and a keyword dictionary (up to 3.7).  The
// dictionary is the caller's, and a keyword's own __eq__ can change it (or
// free what it held) while the call is bound: its keywords and values are
// first taken into tuples that hold them for the whole call, as the
// interpreter's own functions copy it first.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  FunctionObject* fn = as_function(self);
  PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  const Py_ssize_t keyword_count = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
  if (keyword_count == 0) return call_body(fn, positional, given, nullptr);
  if (check_keywords_before_binding(kwargs) < 0) return nullptr;
  Ref kwnames = Ref::steal(PyTuple_New(keyword_count));
  Ref stack = Ref::steal(PyTuple_New(given + keyword_count));  // the positional values, then the keywords'
  if (!kwnames || !stack) return nullptr;
  for (Py_ssize_t i = 0; i < given; ++i) {
    Py_INCREF(positional[i]);
    PyTuple_SET_ITEM(stack.get(), i, positional[i]);
  }
  Py_ssize_t pos = 0, i = 0;
  PyObject *keyword, *value;
  while (i < keyword_count && PyDict_Next(kwargs, &pos, &keyword, &value)) {
    Py_INCREF(keyword);
    PyTuple_SET_ITEM(kwnames.get(), i, keyword);
    Py_INCREF(value);
    PyTuple_SET_ITEM(stack.get(), given + i, value);
    ++i;
  }
  return call_body(fn, &PyTuple_GET_ITEM(stack.get(), 0), given, kwnames.get());
}

// Accessed through an instance, a function becomes a bound method, as the
// interpreter's own functions do.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* fn = as_function(self);
  Py_VISIT(fn->code);
  Py_VISIT(fn->globals);
  Py_VISIT(fn->name);
  Py_VISIT(fn->qualname);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->dict);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  FunctionObject* fn = as_function(self);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  FunctionObject* fn = as_function(self);
  PyObject_GC_UnTrack(self);
  if (fn->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(fn->code);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  PyObject_GC_Del(self);
}

// __module__ is read from the globals at each access, as the module's
// current name.
PyObject* function_get_module(PyObject* self, void*) noexcept {
  PyObject* value = PyDict_GetItemWithError(as_function(self)->globals, shared.name);
  if (value == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    value = Py_None;
  }
  Py_INCREF(value);
  return value;
}

PyObject* function_get_annotations(PyObject* self, void*) noexcept {
  FunctionObject* fn = as_function(self);
  if (fn->annotations == nullptr && (fn->annotations = PyDict_New()) == nullptr) return nullptr;
  Py_INCREF(fn->annotations);
  return fn->annotations;
}

int function_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->annotations, value);
  return 0;
}

int set_text(PyObject** slot, PyObject* value, const char* attribute) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  Py_INCREF(value);
  Py_XSETREF(*slot, value);
  return 0;
}

PyObject* function_get_name(PyObject* self, void*) noexcept {
  Py_INCREF(as_function(self)->name);
  return as_function(self)->name;
}
int function_set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(&as_function(self)->name, value, "__name__");
}
PyObject* function_get_qualname(PyObject* self, void*) noexcept {
  Py_INCREF(as_function(self)->qualname);
  return as_function(self)->qualname;
}
int function_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* function_get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// Pickled by reference, as the interpreter pickles its module-level
// functions: the qualified name, looked up in __module__ when unpickled.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  Py_INCREF(as_function(self)->qualname);
  return as_function(self)->qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), function_get_name, function_set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), function_get_qualname, function_set_qualname, nullptr, nullptr},
    {const_cast<char*>("__module__"), function_get_module, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), function_get_annotations, function_set_annotations, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), function_get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), function_get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__closure__"), function_get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__code__"), T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {const_cast<char*>("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr} /* sentinel */
};

}  // namespace

PyTypeObject function_type = [] {
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "compiled_function";                         /* tp_name */
  type.tp_basicsize = sizeof(FunctionObject);                 /* tp_basicsize */
  type.tp_dealloc = function_dealloc;                         /* tp_dealloc */
  type.tp_repr = function_repr;                               /* tp_repr */
  type.tp_call = function_call;                               /* tp_call */
  type.tp_getattro = PyObject_GenericGetAttr;                 /* tp_getattro */
  type.tp_setattro = PyObject_GenericSetAttr;                 /* tp_setattro */
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;    /* tp_flags */
  type.tp_traverse = function_traverse;                       /* tp_traverse */
  type.tp_clear = function_clear;                             /* tp_clear */
  type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);  /* tp_weaklistoffset */
  type.tp_methods = function_methods;                         /* tp_methods */
  type.tp_members = function_members;                         /* tp_members */
  type.tp_getset = function_getset;                           /* tp_getset */
  type.tp_descr_get = function_descr_get;                     /* tp_descr_get */
  type.tp_dictoffset = offsetof(FunctionObject, dict);        /* tp_dictoffset */
  accept_vector_calls(type, offsetof(FunctionObject, vectorcall));
  return type;
}();

bool ready_function_type() noexcept { return PyType_Ready(&function_type) == 0; }

PyObject* new_function(PyCodeObject* code, PyObject* globals, PyObject* doc, PyObject* annotations,
                       FunctionBody body) noexcept {
  if (code->co_argcount > max_parameters) {
    PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
    return nullptr;
  }
  FunctionObject* fn = PyObject_GC_New(FunctionObject, &function_type);
  if (fn == nullptr) return nullptr;
  Py_INCREF(code);
  fn->code = code;
  Py_INCREF(globals);
  fn->globals = globals;
  Py_INCREF(code->co_name);
  fn->name = code->co_name;
  Py_INCREF(code->co_name);
  fn->qualname = code->co_name;
  fn->doc = doc != nullptr ? doc : Py_None;
  Py_INCREF(fn->doc);
  Py_XINCREF(annotations);
  fn->annotations = annotations;
  fn->dict = nullptr;
  fn->weakrefs = nullptr;
  fn->body = body;
  fn->vectorcall = function_vectorcall;
  PyObject_GC_Track(fn);
  return reinterpret_cast<PyObject*>(fn);
}

}  // namespace smsline

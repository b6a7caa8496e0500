// Jumps in our frames: refused with the interpreter's ValueError, before anything moves.
//
// A debugger jumps by assigning the frame's f_lineno from its trace function
// (pdb's `jump`), and the interpreter's setter moves the frame's next
// instruction.  Our functions run as compiled code: the next line is
// wherever the body stands, and nothing can change it.  Left to the
// interpreter, such an assignment is accepted and then ignored (from 3.9),
// or refused with a reason that is not the reason (up to 3.8, "can't jump to
// 'except' line" for any line).  So the setter that the interpreter's frame
// type names for f_lineno gets a guard in front of it: in a frame of one of
// our code objects, assigning a line is refused with ValueError saying why,
// and deleting the attribute with the AttributeError the interpreter gives;
// everything else goes on to the interpreter's own setter (which refuses a
// value that is not an int before it looks at the frame).
#include "runtime/frame_jumps.h"

#include "runtime/compat/frames.h"

namespace smsline {

namespace {

// Our code objects, each held for the process: filled by refuse_jumps_in
// as the code objects are made (a handful per process).
constexpr int max_guarded_codes = 16;
PyCodeObject* guarded_codes[max_guarded_codes] = {};
int guarded_code_count = 0;

// The interpreter's f_lineno setter, and the definition that replaces its
// own in the f_lineno descriptor (with the guard as setter): set once, by
// the first refuse_jumps_in.
setter interpreter_set_lineno = nullptr;
PyGetSetDef guarded_lineno = {};

bool is_guarded(PyCodeObject* code) noexcept {
  for (int i = 0; i < guarded_code_count; ++i) {
    if (guarded_codes[i] == code) return true;
  }
  return false;
}

int set_lineno(PyObject* object, PyObject* value, void* closure) noexcept {
  if (PyFrame_Check(object)) {
    PyCodeObject* const code = frame_code(reinterpret_cast<PyFrameObject*>(object));
    if (is_guarded(code)) {
      if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute");
        return -1;
      }
      if (PyLong_CheckExact(value)) {
        PyErr_Format(PyExc_ValueError,
                     "can't jump to line %R in '%U': smsline's compiled functions cannot change which line runs next",
                     value, code->co_name);
        return -1;
      }
    }
  }
  return interpreter_set_lineno(object, value, closure);
}

// Puts set_lineno in front of the interpreter's f_lineno setter.
bool guard_lineno_setter() noexcept {
  PyObject* const name = PyUnicode_InternFromString("f_lineno");
  if (name == nullptr) return false;
  PyObject* const descriptor = _PyType_Lookup(&PyFrame_Type, name);  // borrowed from the type
  Py_DECREF(name);
  if (descriptor == nullptr || Py_TYPE(descriptor) != &PyGetSetDescr_Type ||
      reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset->set == nullptr) {
    PyErr_SetString(PyExc_SystemError, "the interpreter's frames have no f_lineno setter to guard");
    return false;
  }
  PyGetSetDescrObject* const lineno = reinterpret_cast<PyGetSetDescrObject*>(descriptor);
  guarded_lineno = *lineno->d_getset;
  interpreter_set_lineno = guarded_lineno.set;
  guarded_lineno.set = set_lineno;
  lineno->d_getset = &guarded_lineno;
  return true;
}

}  // namespace

bool refuse_jumps_in(PyCodeObject* code) noexcept {
  if (interpreter_set_lineno == nullptr && !guard_lineno_setter()) return false;
  if (guarded_code_count == max_guarded_codes) {
    PyErr_SetString(PyExc_SystemError, "too many code objects of smsline to guard against jumps");
    return false;
  }
  Py_INCREF(code);
  guarded_codes[guarded_code_count++] = code;
  return true;
}

}  // namespace smsline

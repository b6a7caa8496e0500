// serial_ports(): the serial ports of this host that open and close.
//
// The body is `serial_ports` of smsline/send_sms.py, statement for statement:
// the lines it marks are that text's lines, which tracebacks and debuggers show.
#include "runtime/body_calls.h"
#include "runtime/calls.h"
#include "runtime/compat/code_objects.h"
#include "runtime/exception_handling.h"
#include "runtime/for_loop.h"
#include "runtime/loop_service.h"
#include "runtime/ref.h"
#include "smsline/submodule.h"

namespace smsline {

namespace {

// list.append for a list that only ever grows by appends: the store that
// the list's own append makes when it has room, else the append itself.
int append(PyObject* list, PyObject* item) noexcept {
  PyListObject* const self = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t size = Py_SIZE(self);
  if (size < self->allocated && size + 1 >= (self->allocated >> 1)) {
    Py_INCREF(item);
    self->ob_item[size] = item;
    Py_SET_SIZE(self, size + 1);
    return 0;
  }
  return PyList_Append(list, item);
}

// sys.platform.startswith(prefix), with `sys` looked up as a global:
// 1 true, 0 false, -1 failure.
int platform_starts_with(PyThreadState* tstate, PyObject* prefix) noexcept {
  Ref sys = lookup_global(submodule.dict, constants.sys);
  if (!sys) return -1;
  Ref platform = get_attribute(sys.get(), constants.platform);
  if (!platform) return -1;
  Ref answer = body_call_method(tstate, platform.get(), constants.startswith, {prefix});
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// glob.glob(pattern), with `glob` looked up as a global.
Ref glob_candidates(PyThreadState* tstate, PyObject* pattern) noexcept {
  Ref glob = lookup_global(submodule.dict, constants.glob);
  if (!glob) return Ref();
  return body_call_method(tstate, glob.get(), constants.glob_function, {pattern});
}

// The locals of serial_ports and of its COM name builder: their slots in
// the frames, in the order of the code objects' variable names.  From 3.12
// the builder runs in serial_ports' frame, whose locals start with its `i`.
constexpr int FIRST_LOCAL = COMPREHENSIONS_INLINED ? 1 : 0;
enum Local { PORTS = FIRST_LOCAL, RESULT, PORT, S };
enum ComNamesLocal { I };

// ["COM%s" % (i + 1) for i in range(256)]: up to 3.11 in a frame of its
// own; from 3.12 in `outer`, serial_ports' frame, with `i` unbound again
// once the list is made (the comprehension's variable stays its own), and
// still bound to the index it had when a failure leaves the comprehension
// (where the traceback shows it, as the interpreter's does).
Ref com_port_names(ActiveFrame& outer) noexcept {
  ActiveFrame own;
  ActiveFrame& frame = COMPREHENSIONS_INLINED ? outer : own;
  if (!COMPREHENSIONS_INLINED &&
      !own.enter_cached(submodule.com_names_frame, submodule.com_names_code, submodule.dict)) {
    return Ref();
  }
  // The indices are our own range(256): its iterator would give exactly the
  // ints 0 to 255, so the loop counts them itself and binds each to `i`.
  // While `i` holds the int bound here, i + 1 is the int index + 1 (for an
  // exact int the addition is the int's own); a trace function that rebound
  // it gets the interpreter's addition.  str % int is the str's own
  // formatting.
  auto fail = [&]() {
    if (!COMPREHENSIONS_INLINED) frame.fail(24);
    return Ref();
  };
  if (!COMPREHENSIONS_INLINED && !frame.mark(24)) return fail();
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return fail();
  const Py_ssize_t count = PyObject_Length(constants.com_indices);
  if (count < 0) return fail();
  for (Py_ssize_t index = 0; index < count; ++index) {
    Ref bound = Ref::steal(PyLong_FromSsize_t(index));  // a cached small int
    if (!bound) return fail();
    PyObject* const bound_int = bound.get();
    frame.bind(I, std::move(bound));
    Ref number;
    if (frame.holds(I, bound_int)) {
      number = Ref::steal(PyLong_FromSsize_t(index + 1));
    } else {
      const Ref i = frame.load(I);
      if (!i) return fail();
      number = Ref::steal(PyNumber_Add(i.get(), constants.one));
    }
    Ref name = Ref::steal(number ? PyUnicode_Format(constants.com_format, number.get()) : nullptr);
    if (!name || append(names.get(), name.get()) < 0) return fail();
    if (loop_service_step() < 0) return fail();
    if (!frame.mark_loop_pass(24)) return fail();
  }
  if (COMPREHENSIONS_INLINED) {
    frame.bind(I, Ref());
  } else if (!frame.leave(names.get())) {
    return Ref();
  }
  return names;
}

// result.append(port): the list's own append for the list that the body
// made, else through ordinary method lookup (a debugger may have rebound
// `result`, a profile function wants the call's events).  False with an
// exception set.
bool append_result(PyThreadState* tstate, PyObject* result, PyObject* port) noexcept {
  if (PyList_CheckExact(result) && !profiling_wanted(tstate)) return append(result, port) == 0;
  return static_cast<bool>(body_call_method(tstate, result, constants.append, {port}));
}

// Whether the exception that a quiet handler holds is one that
// `except (OSError, serial.SerialException)` catches, when that is known
// without running code: the class it has once made is known, and `serial`
// and its SerialException are what recent reads of them still give (no
// lookup runs a key's __eq__ or an attribute hook); the class matches
// OSError or SerialException as the interpreter matches a caught exception
// (a subclass test on the types, no metaclass hook).  False otherwise, and
// for an exception that does not match: the handler then observes it and
// the clause is run in full.
bool refused_port_unseen(const ExceptionHandler& handler) noexcept {
  PyObject* const caught = handler.quiet_class();
  const GlobalLookup* const serial = caught != nullptr ? recent_lookup(submodule.dict, constants.serial) : nullptr;
  PyObject* const serial_exception =
      serial != nullptr ? recent_module_attribute(serial->value, constants.SerialException) : nullptr;
  if (serial_exception == nullptr || !PyExceptionClass_Check(serial_exception)) return false;
  PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(caught);
  return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_OSError)) ||
         PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(serial_exception));
}

}  // namespace

PyObject* serial_ports_body(PyObject* const*) noexcept {
  if (!c_stack_has_room()) return nullptr;  // deep re-entry ends here, before the frame
  ActiveFrame frame;
  if (!frame.enter_cached(submodule.serial_ports_frame, submodule.serial_ports_code, submodule.dict)) {
    return nullptr;
  }
  PyThreadState* const tstate = current_thread_state();  // the calling thread's, for the whole call

  // The candidates for this platform.
  if (!frame.mark(23)) return frame.fail(23);
  int is_platform = platform_starts_with(tstate, constants.prefix_win);
  if (is_platform < 0) return frame.fail(23);
  if (is_platform) {
    if (!frame.mark(24)) return frame.fail(24);
    Ref names = com_port_names(frame);
    if (!names) return frame.fail(24);
    frame.bind(PORTS, std::move(names));
  } else {
    if (!frame.mark(25)) return frame.fail(25);
    is_platform = platform_starts_with(tstate, constants.prefix_linux);
    if (is_platform == 0) is_platform = platform_starts_with(tstate, constants.prefix_cygwin);
    if (is_platform < 0) return frame.fail(25);
    if (is_platform) {
      if (!frame.mark(27)) return frame.fail(27);
      Ref found = glob_candidates(tstate, constants.pattern_linux);
      if (!found) return frame.fail(27);
      frame.bind(PORTS, std::move(found));
    } else {
      if (!frame.mark(28)) return frame.fail(28);
      is_platform = platform_starts_with(tstate, constants.prefix_darwin);
      if (is_platform < 0) return frame.fail(28);
      if (!is_platform) {
        if (!frame.mark(31)) return frame.fail(31);
        raise_new(PyExc_OSError, constants.unsupported_platform);
        return frame.fail(31);
      }
      if (!frame.mark(29)) return frame.fail(29);
      Ref found = glob_candidates(tstate, constants.pattern_darwin);
      if (!found) return frame.fail(29);
      frame.bind(PORTS, std::move(found));
    }
  }

  // Probing: keep the candidates that open and close.
  if (!frame.mark_for_tracing(33)) return frame.fail(33);
  Ref empty = Ref::steal(PyList_New(0));
  if (!empty) return frame.fail(33);
  frame.bind(RESULT, std::move(empty));
  if (!frame.mark(34)) return frame.fail(34);
  ForLoop candidates;
  {
    const Ref ports = frame.load(PORTS);
    if (!ports || !candidates.begin(ports.get())) return frame.fail(34);
  }
  for (;;) {
    if (!frame.mark(34)) return frame.fail(34);
    Ref next = candidates.next();
    if (!next) {
      if (PyErr_Occurred()) return frame.fail(34);
      break;
    }
    frame.bind(PORT, std::move(next));
    if (!frame.mark_for_tracing(35)) return frame.fail(35);

    int failed_line = 36;
    if (frame.mark(36)) {
      const Ref serial = lookup_global(submodule.dict, constants.serial);
      const Ref port = serial ? frame.load(PORT) : Ref();
      Ref opened = port ? body_call_method(tstate, serial.get(), constants.Serial, {port.get()}) : Ref();
      if (opened) {
        frame.bind(S, std::move(opened));  // the previous port object is released only now
        failed_line = 37;
        const Ref s = frame.mark(37) ? frame.load(S) : Ref();
        if (s && body_call_method(tstate, s.get(), constants.close, {})) {
          failed_line = 38;
          const Ref result = frame.mark(38) ? frame.load(RESULT) : Ref();
          const Ref appended = result ? frame.load(PORT) : Ref();
          if (appended && append_result(tstate, result.get(), appended.get())) failed_line = 0;
        }
      }
    }
    if (failed_line != 0) {
      // except (OSError, serial.SerialException): skip this candidate
      ExceptionHandler handler;
      handler.enter_quietly(frame, failed_line);
      // A match that nothing can have seen is dropped as it stands (at the
      // handler's line, as a seen one is); anything else is seen first.
      const bool unseen = handler.quiet() && refused_port_unseen(handler);
      if (!unseen) handler.observe(frame);
      if (!frame.mark(39)) {
        handler.exit();
        return frame.fail(39);
      }
      if (!unseen) {
        const Ref serial = lookup_global(submodule.dict, constants.serial);
        Ref serial_exception = serial ? get_attribute(serial.get(), constants.SerialException) : Ref();
        Ref classes =
            serial_exception ? Ref::steal(PyTuple_Pack(2, PyExc_OSError, serial_exception.get())) : Ref();
        const int matched = classes ? exception_matches(handler.type(), classes.get()) : -1;
        if (matched <= 0) {
          if (matched == 0) {
            frame.jump_into_line(40);
            handler.reraise();
          }
          handler.exit();
          return frame.fail(matched == 0 ? failed_line : 39);
        }
        if (!frame.mark_for_tracing(40)) {
          handler.exit();
          return frame.fail(40);
        }
      }
    }
    if (loop_service_step() < 0) return frame.fail(34);
  }

  if (!frame.mark_for_tracing(41)) return frame.fail(41);
  Ref result = frame.load(RESULT);
  if (!result) return frame.fail(41);
  if (!frame.leave(result.get())) return nullptr;
  return result.release();
}

}  // namespace smsline

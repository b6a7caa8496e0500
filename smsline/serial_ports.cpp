// serial_ports(): the serial ports of this host that open and close.
#include "runtime/calls.h"
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
    Py_SIZE(self) = size + 1;
    return 0;
  }
  return PyList_Append(list, item);
}

// sys.platform.startswith(prefix), with `sys` looked up as a global:
// 1 true, 0 false, -1 failure.
int platform_starts_with(PyObject* prefix) noexcept {
  Ref sys = lookup_global(submodule.dict, constants.sys);
  if (!sys) return -1;
  Ref platform = get_attribute(sys.get(), constants.platform);
  if (!platform) return -1;
  Ref answer = call_method(platform.get(), constants.startswith, {prefix});
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// glob.glob(pattern), with `glob` looked up as a global.
Ref glob_candidates(PyObject* pattern) noexcept {
  Ref glob = lookup_global(submodule.dict, constants.glob);
  if (!glob) return Ref();
  return call_method(glob.get(), constants.glob_function, {pattern});
}

// ["COM%s" % (i + 1) for i in range(256)], in a frame of its own.
Ref com_port_names() noexcept {
  ActiveFrame frame;
  if (!frame.enter_cached(submodule.com_names_frame, submodule.com_names_code, submodule.dict)) return Ref();
  // The indices are our own range(256): its iterator would give exactly the
  // ints 0 to 255, so the loop counts them itself and makes the int bound
  // to `i` only for the locals of a failure.  For an exact int, i + 1 is the
  // int's own addition, and str % int is the str's own formatting.
  Py_ssize_t index = -1;
  auto fail = [&]() {
    Ref i = index >= 0 ? Ref::steal(PyLong_FromSsize_t(index)) : Ref();  // a cached small int
    PyObject* locals[] = {i.get()};
    frame.fail(24, locals, 1);
    return Ref();
  };
  frame.mark(24);
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return fail();
  const Py_ssize_t count = PyObject_Length(constants.com_indices);
  if (count < 0) return fail();
  for (index = 0; index < count; ++index) {
    Ref number = Ref::steal(PyLong_FromSsize_t(index + 1));
    Ref name = Ref::steal(number ? PyUnicode_Format(constants.com_format, number.get()) : nullptr);
    if (!name || append(names.get(), name.get()) < 0) return fail();
    if (loop_service_step() < 0) return fail();
  }
  frame.leave();
  return names;
}

}  // namespace

PyObject* serial_ports_body(PyObject* const*) noexcept {
  ActiveFrame frame;
  if (!frame.enter_cached(submodule.serial_ports_frame, submodule.serial_ports_code, submodule.dict)) {
    return nullptr;
  }
  Ref ports, result, port, s;
  auto fail = [&](int line) {
    PyObject* locals[] = {ports.get(), result.get(), port.get(), s.get()};
    return frame.fail(line, locals, 4);
  };

  // The candidates for this platform.
  frame.mark(23);
  int is_platform = platform_starts_with(constants.prefix_win);
  if (is_platform < 0) return fail(23);
  if (is_platform) {
    frame.mark(24);
    ports = com_port_names();
    if (!ports) return fail(24);
  } else {
    frame.mark(25);
    is_platform = platform_starts_with(constants.prefix_linux);
    if (is_platform == 0) is_platform = platform_starts_with(constants.prefix_cygwin);
    if (is_platform < 0) return fail(25);
    if (is_platform) {
      frame.mark(27);
      ports = glob_candidates(constants.pattern_linux);
      if (!ports) return fail(27);
    } else {
      frame.mark(28);
      is_platform = platform_starts_with(constants.prefix_darwin);
      if (is_platform < 0) return fail(28);
      if (!is_platform) {
        frame.mark(31);
        raise_new(PyExc_OSError, constants.unsupported_platform);
        return fail(31);
      }
      frame.mark(29);
      ports = glob_candidates(constants.pattern_darwin);
      if (!ports) return fail(29);
    }
  }

  // Probing: keep the candidates that open and close.
  result = Ref::steal(PyList_New(0));
  if (!result) return fail(34);
  frame.mark(34);
  ForLoop candidates;
  if (!candidates.begin(ports.get())) return fail(34);
  for (;;) {
    frame.mark(34);
    Ref next = candidates.next();
    if (!next) {
      if (PyErr_Occurred()) return fail(34);
      break;
    }
    port = std::move(next);

    int failed_line = 36;
    frame.mark(36);
    Ref serial = lookup_global(submodule.dict, constants.serial);
    Ref opened = serial ? call_method(serial.get(), constants.Serial, {port.get()}) : Ref();
    if (opened) {
      s = std::move(opened);  // the previous port object is released only now
      failed_line = 37;
      frame.mark(37);
      if (call_method(s.get(), constants.close, {})) {
        failed_line = 38;
        frame.mark(38);
        if (append(result.get(), port.get()) == 0) failed_line = 0;
      }
    }
    if (failed_line != 0) {
      // except (OSError, serial.SerialException): skip this candidate
      ExceptionHandler handler;
      handler.enter(frame.frame(), failed_line);
      frame.mark(39);
      serial = lookup_global(submodule.dict, constants.serial);
      Ref serial_exception = serial ? get_attribute(serial.get(), constants.SerialException) : Ref();
      Ref classes = serial_exception ? Ref::steal(PyTuple_Pack(2, PyExc_OSError, serial_exception.get())) : Ref();
      const int matched = classes ? exception_matches(handler.type(), classes.get()) : -1;
      if (matched <= 0) {
        if (matched == 0) handler.reraise();
        handler.exit();
        return fail(matched == 0 ? failed_line : 39);
      }
    }
    if (loop_service_step() < 0) return fail(34);
  }
  frame.leave();
  return result.release();
}

}  // namespace smsline

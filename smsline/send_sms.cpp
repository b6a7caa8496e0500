// send_sms(phone_number, text): find the modem on the serial ports and send one message.
#include <cstdint>
#include <cstring>

#include "runtime/builtins_hook.h"
#include "runtime/calls.h"
#include "runtime/exception_handling.h"
#include "runtime/for_loop.h"
#include "runtime/loop_service.h"
#include "runtime/ref.h"
#include "smsline/submodule.h"

namespace smsline {

namespace {

// The built-in format, taken from the builtins dictionary when the first
// found line is built and used for every later one.
PyObject* kept_format = nullptr;

// Whether kept_format is the built-in format: then format(port, "") is its
// own work, PyObject_Format(port, ""), once it has checked its arguments
// (which these always pass), and that is called directly.
bool kept_format_is_builtin = false;

// The built-in print, as builtin_or_exit finds it, read again only when the
// builtins dictionary has changed since (its version tag tells).
PyObject* builtin_print() noexcept {
  static std::uint64_t seen_version = 0;  // no dictionary has version 0
  static PyObject* print = nullptr;       // borrowed: the dictionary holds it
  const std::uint64_t version = dict_version(builtins_dict);
  if (version != seen_version) {
    print = builtin_or_exit(constants.print);
    seen_version = version;
  }
  return print;
}

Ref format_port(PyObject* port) noexcept {
  if (kept_format_is_builtin) return Ref::steal(PyObject_Format(port, constants.empty_text));
  return call(kept_format, {port, constants.empty_text});
}

// Brings the modem up and prints the found line (lines 51 to 53).  Returns
// 0 when the modem came up, else the line that failed, with the exception set.
int probe_modem(ActiveFrame& frame, PyObject* modem, PyObject* port) noexcept {
  frame.mark(51);
  Method connect;
  if (!connect.look_up(modem, constants.connect, 1)) return 51;
  Ref pin = lookup_global(submodule.dict, constants.PIN);
  if (!pin || !connect.call({pin.get()})) return 51;

  frame.mark(52);
  if (!call_method(modem, constants.waitForNetworkCoverage, {constants.coverage_wait})) return 52;

  frame.mark(53);
  const Ref print = Ref::borrow(builtin_print());  // the format below may run code that rebinds it
  if (kept_format == nullptr) {
    kept_format = Ref::borrow(builtin_or_exit(constants.format)).release();
    kept_format_is_builtin =
        PyCFunction_Check(kept_format) && PyCFunction_GET_SELF(kept_format) == builtins_module &&
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(kept_format)->m_ml->ml_name, "format") == 0;
  }
  Ref port_text = format_port(port);
  Ref line = Ref::steal(port_text ? PyUnicode_Concat(constants.found_prefix, port_text.get()) : nullptr);
  if (!line || !call(print.get(), {line.get()})) return 53;
  return 0;
}

// A fresh dictionary of the send keywords, in their order.
Ref send_keywords() noexcept {
  Ref keywords = Ref::steal(_PyDict_NewPresized(2));
  for (int i = 0; keywords && i < 2; ++i) {
    if (PyDict_SetItem(keywords.get(), constants.send_keyword_names[i], constants.send_keyword_values[i]) < 0) {
      return Ref();
    }
  }
  return keywords;
}

// The send (lines 60 to 68): prints the notice, sends, prints the status and
// reads it again as the result.  Returns 0 with `result` set, else the line
// that failed, with the exception set.
int send_message(ActiveFrame& frame, PyObject* modem, PyObject* phone_number, PyObject* text, Ref& sent,
                 Ref& result) noexcept {
  frame.mark(60);
  const Ref print = Ref::borrow(builtin_print());
  if (!call(print.get(), {constants.sending_notice})) return 60;

  frame.mark(61);
  Method send;
  if (!send.look_up(modem, constants.sendSms, 2, true)) return 61;
  Ref keywords = send_keywords();
  if (!keywords) return 61;
  sent = send.call({phone_number, text}, keywords.get());
  if (!sent) return 61;

  frame.mark(67);
  const Ref status_print = Ref::borrow(builtin_print());  // reading status may run code that rebinds it
  Ref status = Ref::steal(PyObject_GetAttr(sent.get(), constants.status));
  if (!status || !call(status_print.get(), {status.get()})) return 67;

  result = Ref::steal(PyObject_GetAttr(sent.get(), constants.status));
  return result ? 0 : 68;
}

}  // namespace

PyObject* send_sms_body(PyObject* const* args) noexcept {
  PyObject* const phone_number = args[0];
  PyObject* const text = args[1];
  Ref modem = Ref::borrow(Py_None);
  ActiveFrame frame;
  if (!frame.enter_cached(submodule.send_sms_frame, submodule.send_sms_code, submodule.dict)) return nullptr;
  Ref sentSms, port;
  auto fail = [&](int line) {
    PyObject* locals[] = {phone_number, text, sentSms.get(), modem.get(), port.get()};
    return frame.fail(line, locals, 5);
  };
  PyObject* const globals = submodule.dict;

  // The port walk ends at the first port whose modem comes up.  A modem that
  // does not come up is closed and dropped, never used to send.
  frame.mark(48);
  Ref serial_ports = lookup_global(globals, constants.serial_ports);
  Ref ports = serial_ports ? call(serial_ports.get(), {}) : Ref();
  ForLoop walk;
  if (!ports || !walk.begin(ports.get())) return fail(48);
  ports.reset();
  for (;;) {
    frame.mark(48);
    Ref next = walk.next();
    if (!next) {
      if (PyErr_Occurred()) return fail(48);
      break;
    }
    port = std::move(next);

    frame.mark(49);
    Ref modem_class = lookup_global(globals, constants.GsmModem);
    Ref baudrate = modem_class ? lookup_global(globals, constants.BAUDRATE) : Ref();
    Ref made = baudrate ? call(modem_class.get(), {port.get(), baudrate.get()}) : Ref();
    if (!made) return fail(49);
    modem = std::move(made);

    const int failed_line = probe_modem(frame, modem.get(), port.get());
    if (failed_line == 0) break;
    {
      // except Exception: close this modem, forget it, try the next port
      ExceptionHandler handler;
      handler.enter(frame.frame(), failed_line);
      if (!PyErr_GivenExceptionMatches(handler.type(), PyExc_Exception)) {
        handler.reraise();
        handler.exit();
        return fail(failed_line);
      }
      frame.mark(55);
      if (!call_method(modem.get(), constants.close, {})) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
          handler.exit();
          return fail(55);
        }
        PyErr_Clear();
      }
      modem = Ref::borrow(Py_None);
    }
    if (loop_service_step() < 0) return fail(48);
  }
  walk.reset();

  const int has_modem = modem.get() == Py_True    ? 1
                        : modem.get() == Py_None || modem.get() == Py_False ? 0
                                                                            : PyObject_IsTrue(modem.get());
  if (has_modem < 0) return fail(57);
  if (!has_modem) {
    frame.mark(58);
    raise_new(PyExc_Exception, constants.not_found);
    return fail(58);
  }

  Ref result;
  const int failed_line = send_message(frame, modem.get(), phone_number, text, sentSms, result);
  if (failed_line != 0) {
    // finally: close the modem while the failure is being handled; a
    // failure of close replaces the send's.
    ExceptionHandler handler;
    handler.enter(frame.frame(), failed_line);
    frame.mark(70);
    if (!call_method(modem.get(), constants.close, {})) {
      handler.exit();
      return fail(70);
    }
    handler.reraise();
    handler.exit();
    return fail(failed_line);
  }
  frame.mark(70);
  if (!call_method(modem.get(), constants.close, {})) return fail(70);
  frame.leave();
  return result.release();
}

}  // namespace smsline

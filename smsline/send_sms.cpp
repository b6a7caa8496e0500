// send_sms(phone_number, text): find the modem on the serial ports and send one message.
//
// The body is `send_sms` of smsline/send_sms.py, statement for statement:
// the lines it marks are that text's lines, which tracebacks and debuggers show.
#include <cstdint>
#include <cstring>

#include "runtime/body_calls.h"
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

// The function's locals: their slots in its frame, in the order of its
// code object's variable names.
enum Local { PHONE_NUMBER, TEXT, SENT_SMS, MODEM, PORT };

// Where the compiler places the probe in the walk.  Out of line is the
// cheaper for a send that succeeds, and GCC chooses it on every version; on
// 3.11 each failing probe then pays 15 to 30 instructions of spills around
// the call, where the failure path is nearest the frameless C floor, so
// there it is inlined (a send through one port costs ~60 instructions more,
// one that fails on all eight 120 to 230 less).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define PROBE_PLACEMENT SMSLINE_INLINE
#else
#define PROBE_PLACEMENT
#endif

// Brings the modem up and prints the found line (lines 51 to 53).  Returns
// 0 when the modem came up, else the line that failed, with the exception set.
PROBE_PLACEMENT int probe_modem(PyThreadState* tstate, ActiveFrame& frame) noexcept {
  if (!frame.mark(51)) return 51;
  {
    const Ref modem = frame.load(MODEM);
    BodyMethod connect;
    if (!modem || !connect.look_up(tstate, modem.get(), constants.connect, 1)) return 51;
    Ref pin = lookup_global(submodule.dict, constants.PIN);
    if (!pin || !connect.call(tstate, {pin.get()})) return 51;
  }

  if (!frame.mark(52)) return 52;
  {
    const Ref modem = frame.load(MODEM);
    if (!modem || !body_call_method(tstate, modem.get(), constants.waitForNetworkCoverage, {constants.coverage_wait})) return 52;
  }

  if (!frame.mark(53)) return 53;
  const Ref print = Ref::borrow(builtin_print());  // the format below may run code that rebinds it
  if (kept_format == nullptr) {
    kept_format = Ref::borrow(builtin_or_exit(constants.format)).release();
    kept_format_is_builtin =
        PyCFunction_Check(kept_format) && PyCFunction_GET_SELF(kept_format) == builtins_module &&
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(kept_format)->m_ml->ml_name, "format") == 0;
  }
  const Ref port = frame.load(PORT);
  Ref port_text = port ? format_port(port.get()) : Ref();
  Ref line = Ref::steal(port_text ? PyUnicode_Concat(constants.found_prefix, port_text.get()) : nullptr);
  if (!line || !body_call(tstate, print.get(), {line.get()})) return 53;
  return 0;
}

// The send (lines 60 to 68): prints the notice, sends, prints the status and
// reads it again as the result.  Returns 0 with `result` set, else the line
// that failed, with the exception set.
int send_message(PyThreadState* tstate, ActiveFrame& frame, Ref& result) noexcept {
  if (!frame.mark(60)) return 60;
  const Ref print = Ref::borrow(builtin_print());
  if (!body_call(tstate, print.get(), {constants.sending_notice})) return 60;

  if (!frame.mark(61)) return 61;
  {
    const Ref modem = frame.load(MODEM);
    BodyMethod send;
    if (!modem || !send.look_up(tstate, modem.get(), constants.sendSms, 2, 2)) return 61;
    const Ref phone_number = frame.load(PHONE_NUMBER);
    const Ref text = phone_number ? frame.load(TEXT) : Ref();
    if (!text) return 61;
    // The keywords go as their names' tuple and the values after the
    // positional ones: no dictionary is made unless the callee takes one.
    Ref sent = send.call(tstate, {phone_number.get(), text.get(), Py_False, constants.coverage_wait},
                         constants.send_keywords);
    if (!sent) return 61;
    frame.bind(SENT_SMS, std::move(sent));
  }

  if (!frame.mark(67)) return 67;
  {
    const Ref status_print = Ref::borrow(builtin_print());  // reading status may run code that rebinds it
    const Ref sent = frame.load(SENT_SMS);
    Ref status = Ref::steal(sent ? PyObject_GetAttr(sent.get(), constants.status) : nullptr);
    if (!status || !body_call(tstate, status_print.get(), {status.get()})) return 67;
  }

  if (!frame.mark_for_tracing(68)) return 68;
  const Ref sent = frame.load(SENT_SMS);
  result = Ref::steal(sent ? PyObject_GetAttr(sent.get(), constants.status) : nullptr);
  return result ? 0 : 68;
}

// modem.close() for a modem whose probe failed: an Exception from close is
// dropped.  False with any other exception set.
bool close_failed_probe(PyThreadState* tstate, ActiveFrame& frame) noexcept {
  const Ref modem = frame.load(MODEM);
  if (!modem) return false;
  if (!body_call_method(tstate, modem.get(), constants.close, {})) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
  }
  return true;
}

// `raise Exception("Gsm Device Not Found")`, from `cause` when there is one:
// the cause is set before the exception is raised, as the interpreter's
// `raise ... from ...` sets it.
void raise_not_found(Ref cause) noexcept {
  const Ref error = call(PyExc_Exception, {constants.not_found});
  if (!error) return;
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

PyObject* send_sms_body(PyObject* const* args) noexcept {
  if (!c_stack_has_room()) return nullptr;  // deep re-entry ends here, before the frame
  ActiveFrame frame;
  if (!frame.enter_cached(submodule.send_sms_frame, submodule.send_sms_code, submodule.dict, args)) {
    return nullptr;
  }
  PyObject* const globals = submodule.dict;
  PyThreadState* const tstate = current_thread_state();  // the calling thread's, for the whole call
  // The exception of the last probe that failed: the cause of "Gsm Device
  // Not Found".  Not a local of the function; released when the call ends.
  Ref last_failure;

  if (!frame.mark_for_tracing(47)) return frame.fail(47);
  frame.bind(MODEM, Py_None);

  // The port walk ends at the first port whose modem comes up.  A modem that
  // does not come up is closed and dropped, never used to send.
  if (!frame.mark(48)) return frame.fail(48);
  Ref serial_ports = lookup_global(globals, constants.serial_ports);
  Ref ports = serial_ports ? body_call(tstate, serial_ports.get(), {}) : Ref();
  ForLoop walk;
  if (!ports || !walk.begin(ports.get())) return frame.fail(48);
  ports.reset();
  for (;;) {
    if (!frame.mark(48)) return frame.fail(48);
    Ref next = walk.next();
    if (!next) {
      if (PyErr_Occurred()) return frame.fail(48);
      break;
    }
    frame.bind(PORT, std::move(next));

    if (!frame.mark(49)) return frame.fail(49);
    Ref modem_class = lookup_global(globals, constants.GsmModem);
    Ref port = modem_class ? frame.load(PORT) : Ref();
    Ref baudrate = port ? lookup_global(globals, constants.BAUDRATE) : Ref();
    Ref made = baudrate ? body_call(tstate, modem_class.get(), {port.get(), baudrate.get()}) : Ref();
    if (!made) return frame.fail(49);
    frame.bind(MODEM, std::move(made));

    if (!frame.mark_for_tracing(50)) return frame.fail(50);
    const int failed_line = probe_modem(tstate, frame);
    if (failed_line == 0) break;
    {
      ExceptionHandler handler;
      handler.enter(frame, failed_line);
      if (!frame.mark_for_tracing(54)) {
        handler.exit();
        return frame.fail(54);
      }
      if (!caught_by(handler.type(), PyExc_Exception)) {
        // except BaseException: an interruption (Ctrl-C, SystemExit) goes
        // on, but not before the modem it interrupted is closed.
        if (!frame.mark(56) || !close_failed_probe(tstate, frame)) {
          handler.exit();
          return frame.fail(56);
        }
        handler.reraise();
        handler.exit();
        return frame.fail(failed_line);
      }
      // except Exception: close this modem, forget it, try the next port
      if (!frame.mark(55)) {
        handler.exit();
        return frame.fail(55);
      }
      last_failure = Ref::borrow(handler.value());
      if (!close_failed_probe(tstate, frame)) {
        handler.exit();
        return frame.fail(55);
      }
      frame.bind(MODEM, Py_None);
    }
    if (loop_service_step() < 0) return frame.fail(48);
  }
  walk.reset();

  // The modem that came up is used whatever its truth value.
  if (!frame.mark_for_tracing(57)) return frame.fail(57);
  {
    const Ref modem = frame.load(MODEM);
    if (!modem) return frame.fail(57);
    if (modem.get() == Py_None) {
      if (!frame.mark(58)) return frame.fail(58);
      raise_not_found(std::move(last_failure));
      return frame.fail(58);
    }
  }
  last_failure.reset();

  if (!frame.mark_for_tracing(59)) return frame.fail(59);
  Ref result;
  const int failed_line = send_message(tstate, frame, result);
  if (failed_line != 0) {
    // finally: close the modem while the failure is being handled; a
    // failure of close replaces the send's.
    ExceptionHandler handler;
    handler.enter(frame, failed_line);
    const Ref modem = frame.mark(70) ? frame.load(MODEM) : Ref();
    if (!modem || !body_call_method(tstate, modem.get(), constants.close, {})) {
      handler.exit();
      return frame.fail(70);
    }
    handler.reraise();
    handler.exit();
    return frame.fail(failed_line);
  }
  const Ref modem = frame.mark(70) ? frame.load(MODEM) : Ref();
  if (!modem || !body_call_method(tstate, modem.get(), constants.close, {})) return frame.fail(70);
  // `return sentSms.status` returns from inside the try: on some versions
  // the interpreter goes back to its line after the finally block.
  if (RETURN_LINE_AFTER_FINALLY && !frame.mark(68)) return frame.fail(68);
  if (!frame.leave(result.get())) return nullptr;
  return result.release();
}

}  // namespace smsline

// The body of smsline.send_sms: module attributes, imports, settings and the two functions.
//
// The module body is lines 1 to 10 of smsline/send_sms.py, statement for
// statement: the lines it marks are that text's lines.
#include "smsline/submodule.h"

#include <initializer_list>

#include "runtime/calls.h"
#include "runtime/code_objects.h"
#include "runtime/function_object.h"
#include "runtime/imports.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"
#include "smsline/module_attributes.h"
#include "smsline/package.h"

namespace smsline {

Submodule submodule = {};
SubmoduleConstants constants = {};

namespace {

enum class BodyState { not_started, running, finished, failed };

// Where the body stands; set by its runs, never reset.
BodyState body_state = BodyState::not_started;

// The module object of the first run: the module that holds the functions'
// globals (owned).
PyObject* first_module = nullptr;

// Values only the body uses, made by its first run.
struct BodyConstants {
  PyObject* print_function;  // "print_function"
  PyObject* time;            // "time"
  PyObject* modem_module;    // "gsmmodem.modem"
  PyObject* own_modem_module;  // "smsline_gsm.modem"
  PyObject* SentSms;         // "SentSms"
  PyObject* modem_names;     // ("GsmModem", "SentSms")
  PyObject* baudrate;        // 115200
  PyObject* annotations;     // {"phone_number": str, "text": str, "return": int}
  PyObject* serial_ports_doc;
  PyObject* send_sms_doc;
};
BodyConstants body = {};

const char serial_ports_doc[] =
    "Lists serial port names\n"
    "\n"
    "    :raises EnvironmentError:\n"
    "        On unsupported or unknown platforms\n"
    "    :returns:\n"
    "        A list of the serial ports available on the system\n"
    "    ";
const char send_sms_doc[] =
    "Sends an sms and returns the sent sms status ( one of SentSms.ENROUTE, SentSms.DELIVERED, SentSms.FAILED )";

// A tuple of interned names.  Null with an exception set.
PyObject* names_tuple(std::initializer_list<const char*> names) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const char* name : names) {
    PyObject* text = interned(name);
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, text);
  }
  return tuple.release();
}

bool create_constants() noexcept {
  struct Name {
    PyObject** slot;
    const char* text;
  };
  const Name names[] = {
      {&constants.sys, "sys"},
      {&constants.glob, "glob"},
      {&constants.serial, "serial"},
      {&constants.serial_ports, "serial_ports"},
      {&constants.GsmModem, "GsmModem"},
      {&constants.BAUDRATE, "BAUDRATE"},
      {&constants.PIN, "PIN"},
      {&constants.platform, "platform"},
      {&constants.startswith, "startswith"},
      {&constants.glob_function, "glob"},
      {&constants.Serial, "Serial"},
      {&constants.SerialException, "SerialException"},
      {&constants.close, "close"},
      {&constants.append, "append"},
      {&constants.connect, "connect"},
      {&constants.waitForNetworkCoverage, "waitForNetworkCoverage"},
      {&constants.sendSms, "sendSms"},
      {&constants.status, "status"},
      {&constants.print, "print"},
      {&constants.format, "format"},
      {&constants.prefix_win, "win"},
      {&constants.prefix_linux, "linux"},
      {&constants.prefix_cygwin, "cygwin"},
      {&constants.prefix_darwin, "darwin"},
      {&constants.com_format, "COM%s"},
      {&constants.pattern_linux, "/dev/tty[A-Za-z]*"},
      {&constants.pattern_darwin, "/dev/tty.*"},
      {&constants.unsupported_platform, "Unsupported platform"},
      {&constants.found_prefix, "Gsm Device Found on Port: "},
      {&constants.empty_text, ""},
      {&constants.not_found, "Gsm Device Not Found"},
      {&constants.sending_notice, "Sending message now."},
      {&body.print_function, "print_function"},
      {&body.time, "time"},
      {&body.modem_module, "gsmmodem.modem"},
      {&body.own_modem_module, "smsline_gsm.modem"},
      {&body.SentSms, "SentSms"},
  };
  for (const Name& name : names) {
    if ((*name.slot = interned(name.text)) == nullptr) return false;
  }
  constants.com_indices = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyRange_Type), "i", 256);
  constants.one = PyLong_FromLong(1);
  constants.coverage_wait = PyLong_FromLong(30);
  constants.send_keywords = names_tuple({"waitForDeliveryReport", "deliveryTimeout"});
  body.modem_names = PyTuple_Pack(2, constants.GsmModem, body.SentSms);
  body.baudrate = PyLong_FromLong(115200);
  body.annotations = Py_BuildValue("{s:O,s:O,s:O}", "phone_number", &PyUnicode_Type, "text", &PyUnicode_Type,
                                   "return", &PyLong_Type);
  body.serial_ports_doc = PyUnicode_FromString(serial_ports_doc);
  body.send_sms_doc = PyUnicode_FromString(send_sms_doc);
  return constants.com_indices && constants.one && constants.coverage_wait && constants.send_keywords &&
         body.modem_names && body.baudrate && body.annotations && body.serial_ports_doc && body.send_sms_doc;
}

bool create_code_objects() noexcept {
  // The name of the submodule's Python text (get_source gives it; a build
  // puts a copy there): a .py name, which pdb needs for a breakpoint set by
  // file name and line.
  submodule.file = path_beside_shared_object("smsline/send_sms.py");
  if (submodule.file == nullptr) return false;
  // From 3.12 the COM name list is built in serial_ports' own frame, whose
  // locals then start with the comprehension's `i`, as the compiler puts it.
  submodule.com_names_code =
      COMPREHENSIONS_INLINED
          ? nullptr
          : make_code("<listcomp>", submodule.file, 24, 24, 1, names_tuple({"i"}), CODE_FLAGS_FUNCTION);
  submodule.module_code =
      make_code("<module smsline.send_sms>", submodule.file, 1, 8, 0, names_tuple({}), CODE_FLAGS_MODULE);
  // The functions' bodies start after their docstrings: on lines 47 and 23.
  submodule.send_sms_code =
      make_code("send_sms", submodule.file, 45, 70, 2,
                names_tuple({"phone_number", "text", "sentSms", "modem", "port"}), CODE_FLAGS_FUNCTION, 47);
  submodule.serial_ports_code =
      make_code("serial_ports", submodule.file, 15, 41, 0,
                COMPREHENSIONS_INLINED ? names_tuple({"i", "ports", "result", "port", "s"})
                                       : names_tuple({"ports", "result", "port", "s"}),
                CODE_FLAGS_FUNCTION, 23);
  return (submodule.com_names_code || COMPREHENSIONS_INLINED) && submodule.module_code &&
         submodule.send_sms_code && submodule.serial_ports_code;
}

// __package__ (the text of __name__ before its last ".", when it has one),
// then the attributes every module body sets.
bool set_submodule_attributes(PyObject* module, PyObject* dict) noexcept {
  Ref name = dict_item(dict, shared.name);
  if (!name) return false;
  const Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, PyUnicode_GET_LENGTH(name.get()), -1);
  if (dot == -2) return false;
  Ref package = Ref::steal(dot >= 0 ? PyUnicode_Substring(name.get(), 0, dot) : nullptr);
  if (dot >= 0 && !package) return false;
  return set_module_attributes(module, dict, package.get(), submodule.file);
}

bool set_spec_location(PyObject* dict) noexcept {
  for (PyObject* attribute : {shared.origin, shared.has_location}) {
    Ref spec = dict_item(dict, shared.spec);
    PyObject* value = attribute == shared.origin ? submodule.file : Py_True;
    if (!spec || PyObject_SetAttr(spec.get(), attribute, value) < 0) return false;
  }
  return true;
}

// `import name` at `line`, binding the module under `binding`.
bool import_and_bind(ActiveFrame& frame, int line, const char* name, PyObject* binding) noexcept {
  if (!frame.mark(line)) return false;
  Ref module_name = Ref::steal(interned(name));
  if (!module_name) return false;
  Ref module = import_module(module_name.get(), submodule.dict, nullptr);
  return module && PyDict_SetItem(submodule.dict, binding, module.get()) == 0;
}

// `from module import name`, binding it under the same name.
bool bind_from(PyObject* module, PyObject* name) noexcept {
  Ref value = import_from(module, name, submodule.dict);
  return value && PyDict_SetItem(submodule.dict, name, value.get()) == 0;
}

// Whether the pending exception says that there is no top-level gsmmodem at
// all: a ModuleNotFoundError for the name "gsmmodem" itself, or for its
// submodule while sys.modules holds None for "gsmmodem" (the way to say that
// it must not be imported).  A gsmmodem that is found but fails (a missing
// submodule, an import of its own, a name it lacks) is left pending, to be
// reported as it is.
bool gsmmodem_not_found() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref name = Ref::steal(value != nullptr ? PyObject_GetAttr(value, shared.spec_name) : nullptr);
  bool absent = name && PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "gsmmodem") == 0;
  if (!absent && name) {
    Ref top_level = Ref::steal(PyUnicode_FromString("gsmmodem"));
    PyObject* entry = top_level ? PyDict_GetItemWithError(PyImport_GetModuleDict(), top_level.get()) : nullptr;
    absent = entry == Py_None;
  }
  if (!absent) {
    // The name's own failure, if any, gives way to the import's exception.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return false;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return true;
}

// Line 7 takes GsmModem and SentSms from the gsmmodem library installed
// beside smsline, when there is one; line 8, only when no gsmmodem is found
// at all, from smsline's own library, smsline_gsm.  Returns the failing line,
// or 0.
int import_modem_library(ActiveFrame& frame, PyObject* dict) noexcept {
  int line = 7;
  if (!frame.mark(line)) return line;
  Ref modem = import_module(body.modem_module, dict, body.modem_names);
  if (!modem) {
    if (!gsmmodem_not_found()) return line;
    line = 8;
    if (!frame.mark(line)) return line;
    modem = import_module(body.own_modem_module, dict, body.modem_names);
    if (!modem) return line;
  }
  if (!bind_from(modem.get(), constants.GsmModem) || !bind_from(modem.get(), body.SentSms)) return line;
  return 0;
}

// The statements of the module, lines 1 to 8, run in the module frame.
// Returns the failing line, or 0 when all succeeded.
int run_module_statements(ActiveFrame& frame) noexcept {
  PyObject* dict = submodule.dict;
  if (!frame.mark(1)) return 1;
  if (!set_spec_location(dict)) return 1;
  if (PyDict_SetItem(dict, shared.cached, Py_None) < 0) return 1;

  Ref future = Ref::steal(PyImport_ImportModule("__future__"));
  if (!future || !bind_from(future.get(), body.print_function)) return 1;
  if (!import_and_bind(frame, 2, "time", body.time)) return 2;
  if (!import_and_bind(frame, 3, "sys", constants.sys)) return 3;
  if (!import_and_bind(frame, 4, "glob", constants.glob)) return 4;
  if (!import_and_bind(frame, 6, "serial", constants.serial)) return 6;

  return import_modem_library(frame, dict);
}

// A later start of the submodule: the first run's module stays the module.
PyObject* restart(PyObject* module) noexcept {
  if (body_state == BodyState::failed) {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "module '%s' failed to initialise earlier in this process; restart the interpreter to import it",
        PyModule_GetName(module) != nullptr ? PyModule_GetName(module) : "smsline.send_sms"));
    PyErr_Clear();
    if (!message) return nullptr;
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_ImportError, message.get(), nullptr));
    if (!error) return nullptr;
    // Set without chaining: the exception stands alone, whatever is being handled.
    PyErr_Restore(Ref::borrow(PyExc_ImportError).release(), error.release(), nullptr);
    return nullptr;
  }
  if (module != first_module) {
    Ref name = dict_item(submodule.dict, shared.name);
    if (!name || PyDict_SetItem(PyImport_GetModuleDict(), name.get(), first_module) < 0) return nullptr;
  }
  return first_module;
}

// Everything after the started flag; null with an exception set on failure.
PyObject* run_first(PyObject* module) noexcept {
  if (!run_startup_duties()) return nullptr;
  if (!create_constants() || !create_code_objects()) return nullptr;
  submodule.dict = PyModule_GetDict(module);
  if (submodule.dict == nullptr) return nullptr;
  Py_INCREF(submodule.dict);
  if (!set_submodule_attributes(module, submodule.dict)) return nullptr;

  {
    ActiveFrame frame;
    if (!frame.enter_new(submodule.module_code, submodule.dict)) return nullptr;
    if (const int failed_line = run_module_statements(frame)) return frame.fail(failed_line);
    if (!frame.leave(Py_None)) return nullptr;
  }

  PyObject* dict = submodule.dict;
  if (PyDict_SetItem(dict, constants.BAUDRATE, body.baudrate) < 0 || PyDict_SetItem(dict, constants.PIN, Py_None) < 0) {
    return nullptr;
  }
  Ref serial_ports = Ref::steal(
      new_function(submodule.serial_ports_code, dict, body.serial_ports_doc, nullptr, serial_ports_body));
  if (!serial_ports || PyDict_SetItem(dict, constants.serial_ports, serial_ports.get()) < 0) return nullptr;
  Ref annotations = Ref::steal(PyDict_Copy(body.annotations));
  if (!annotations) return nullptr;
  Ref send_sms = Ref::steal(
      new_function(submodule.send_sms_code, dict, body.send_sms_doc, annotations.get(), send_sms_body));
  Ref send_sms_name = Ref::steal(interned("send_sms"));
  if (!send_sms || !send_sms_name || PyDict_SetItem(dict, send_sms_name.get(), send_sms.get()) < 0) return nullptr;
  return module;
}

}  // namespace

PyObject* run_submodule_body(PyObject* module, EmbeddedModuleEntry*) noexcept {
  if (body_state != BodyState::not_started) return restart(module);
  body_state = BodyState::running;
  Py_INCREF(module);
  first_module = module;
  PyObject* result = run_first(module);
  body_state = result != nullptr ? BodyState::finished : BodyState::failed;
  return result;
}

}  // namespace smsline

// The submodule smsline.send_sms: its body, its process-wide state and its two functions.
#pragma once

#include "loader/module_table.h"
#include "runtime/frames.h"
#include "runtime/python.h"

namespace smsline {

// The row init function of "smsline.send_sms": fills the module with its
// globals and the functions serial_ports and send_sms.
PyObject* run_submodule_body(PyObject* module, EmbeddedModuleEntry* row) noexcept;

// State of the submodule, made by the first run of its body and kept for the
// process.  The functions read their globals from `dict`.
struct Submodule {
  PyObject* dict;                    // the __dict__ of the module of the first run
  PyObject* file;                    // the submodule's code file path
  PyCodeObject* module_code;         // "<module smsline.send_sms>"
  PyCodeObject* serial_ports_code;   // "serial_ports", first line 15
  PyCodeObject* send_sms_code;       // "send_sms", first line 45
  PyCodeObject* com_names_code;      // "<listcomp>", first line 24 (null from 3.12: inlined)
  FrameSlot serial_ports_frame;      // frame caches of the functions
  FrameSlot send_sms_frame;
  FrameSlot com_names_frame;
};
extern Submodule submodule;

// Values the functions use, made by the first run of the body.
struct SubmoduleConstants {
  // global names
  PyObject* sys;
  PyObject* glob;
  PyObject* serial;
  PyObject* serial_ports;
  PyObject* GsmModem;
  PyObject* BAUDRATE;
  PyObject* PIN;
  // attribute names
  PyObject* platform;
  PyObject* startswith;
  PyObject* glob_function;  // "glob"
  PyObject* Serial;
  PyObject* SerialException;
  PyObject* close;
  PyObject* append;
  PyObject* connect;
  PyObject* waitForNetworkCoverage;
  PyObject* sendSms;
  PyObject* status;
  PyObject* print;
  PyObject* format;
  // serial_ports literals
  PyObject* prefix_win;
  PyObject* prefix_linux;
  PyObject* prefix_cygwin;
  PyObject* prefix_darwin;
  PyObject* com_format;       // "COM%s"
  PyObject* com_indices;      // range(256)
  PyObject* one;              // 1, for i + 1 when a debugger rebound i
  PyObject* pattern_linux;    // "/dev/tty[A-Za-z]*"
  PyObject* pattern_darwin;   // "/dev/tty.*"
  PyObject* unsupported_platform;  // "Unsupported platform"
  // send_sms literals
  PyObject* found_prefix;     // "Gsm Device Found on Port: "
  PyObject* empty_text;       // ""
  PyObject* coverage_wait;    // 30
  PyObject* not_found;        // "Gsm Device Not Found"
  PyObject* sending_notice;   // "Sending message now."
  PyObject* send_keywords;    // ("waitForDeliveryReport", "deliveryTimeout"): their values are False and 30
};
extern SubmoduleConstants constants;

// The Python text that the submodule's bodies mirror line for line
// (smsline/send_sms.py), built into the shared object: the loader gives it
// as the submodule's source.
extern const char send_sms_source[];

// Function bodies (the function objects are made by the submodule body).
PyObject* serial_ports_body(PyObject* const* args) noexcept;
PyObject* send_sms_body(PyObject* const* args) noexcept;

}  // namespace smsline

// From 3.11: the event senders of runtime/tracing.h, made by this version's C file.
//
// The frames and thread records they read are described only by the
// interpreter's internal headers, which compile as C: events_legacy.c
// (3.11: the thread's trace and profile functions) and events_monitoring.c
// (3.12 and later: sys.monitoring tools) make the events; these are the
// runtime's names for them.
#include "runtime/tracing.h"

extern "C" {
int smsline_send_call_event(PyThreadState* tstate, PyFrameObject* frame);
int smsline_send_line_event(PyThreadState* tstate, PyFrameObject* frame, int loop_pass);
void smsline_send_exception_event(PyThreadState* tstate, PyFrameObject* frame, int reraised);
void smsline_send_handled_event(PyThreadState* tstate, PyFrameObject* frame);
int smsline_send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result);
int smsline_send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument);
int smsline_send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument, int failed);
}

namespace smsline {

int send_call_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return smsline_send_call_event(tstate, frame);
}
int send_line_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return smsline_send_line_event(tstate, frame, 0);
}
int send_loop_pass_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  return smsline_send_line_event(tstate, frame, 1);
}
void send_exception_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  smsline_send_exception_event(tstate, frame, 0);
}
void send_reraise_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  smsline_send_exception_event(tstate, frame, 1);
}
void send_handled_event(PyThreadState* tstate, PyFrameObject* frame) noexcept {
  smsline_send_handled_event(tstate, frame);
}
int send_return_event(PyThreadState* tstate, PyFrameObject* frame, PyObject* result) noexcept {
  return smsline_send_return_event(tstate, frame, result);
}
int send_c_call_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument) noexcept {
  return smsline_send_c_call_event(tstate, function, first_argument);
}
int send_c_return_event(PyThreadState* tstate, PyObject* function, PyObject* first_argument, bool failed) noexcept {
  return smsline_send_c_return_event(tstate, function, first_argument, failed ? 1 : 0);
}

}  // namespace smsline

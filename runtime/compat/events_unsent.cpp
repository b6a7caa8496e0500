// From 3.11: trace and profile events are not sent for our frames.
//
// The interpreter's frames are its own records there, and ours stay out of
// its frame stack (FRAMES_DETACHED); use_tracing() reports no listener, so
// nothing here is ever reached.  The definitions keep the callers' one
// shape on every version.
#include "runtime/tracing.h"

namespace smsline {

int send_call_event(PyThreadState*, PyFrameObject*) noexcept { return 0; }
int send_line_event(PyThreadState*, PyFrameObject*) noexcept { return 0; }
void send_exception_event(PyThreadState*, PyFrameObject*) noexcept {}
int send_return_event(PyThreadState*, PyFrameObject*, PyObject*) noexcept { return 0; }
int send_c_call_event(PyThreadState*, PyObject*) noexcept { return 0; }
int send_c_return_event(PyThreadState*, PyObject*, bool failed) noexcept { return failed ? -1 : 0; }

}  // namespace smsline

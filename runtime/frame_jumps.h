// Jumps in our frames: refused with the interpreter's ValueError, before anything moves.
#pragma once

#include "runtime/python.h"

namespace smsline {

// From now on an assignment to f_lineno (a debugger's jump) in a frame of
// `code` is refused with ValueError, saying why; `code` is held for the
// process.  The first call puts that refusal in front of the interpreter's
// own f_lineno setter, which keeps serving every other frame.  False with
// an exception set.
bool refuse_jumps_in(PyCodeObject* code) noexcept;

}  // namespace smsline

// Code objects that name our module bodies and functions in frames and tracebacks.
#pragma once

#include "runtime/compat/code_objects.h"
#include "runtime/python.h"

namespace smsline {

// Code object flags used by our code objects.
constexpr int CODE_FLAGS_MODULE = CODE_FLAG_NOFREE;                    // 0x40; 0 from 3.11
constexpr int CODE_FLAGS_FUNCTION = CO_OPTIMIZED | CO_NEWLOCALS | CODE_FLAG_NOFREE;  // 0x43; 0x3 from 3.11

// Most locals a code object of ours declares (the frames release them
// through a buffer of this size).
constexpr int max_frame_locals = 8;

// A code object with stack size 0 whose variable names are all locals (one
// frame slot each, as a plain function has them).  Its line table maps
// instruction offset 2*(L - first_line) to line L for every L up to
// last_line, so that a frame whose f_lasti is set that way reports L to
// every reader of line numbers (tracebacks, f_lineno, faulthandler), not
// only to those that read f_lineno.  The code bytes cover every offset the
// line table names, each a POP_TOP (but the first, from 3.11: see
// FIRST_OPCODE), so that nothing that reads the instruction at a line reads
// past the code; they never run.  A debugger's jump in a frame of the code
// object is refused (frame_jumps.h): our frames cannot jump.  `varnames`
// is a tuple of str (stolen).  `body_line`, when given, is the first line
// that the body marks (after a docstring; see make_line_table).  New
// reference, or null with an exception set.
PyCodeObject* make_code(const char* name, PyObject* filename, int first_line, int last_line,
                        int argcount, PyObject* varnames, int flags, int body_line = 0) noexcept;

}  // namespace smsline

// The process-wide start-up sequence run first by every module body.
#include "loader/module_table.h"
#include "runtime/builtins_hook.h"
#include "runtime/calls.h"
#include "runtime/compat/frames.h"
#include "runtime/function_object.h"
#include "runtime/interpreter_hooks.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"
#include "smsline/module_table.h"
#include "smsline/package.h"

namespace smsline {

namespace {

// Set when duty 8 has completed (not when it starts: a failed import of
// inspect or types ends the process anyway).
bool introspection_modules_imported = false;
// Set as the first act of duty 2.
bool shared_values_created = false;
// Set as the first act of duty 7.
bool loader_registered = false;

// Imports `name` as the statement `import name` would, through the kept
// __import__ (globals and locals None, empty from-list, level 0).
Ref import_top_level(const char* name) noexcept {
  Ref module_name = Ref::steal(PyUnicode_FromString(name));
  Ref fromlist = Ref::steal(PyTuple_New(0));
  Ref level = Ref::steal(PyLong_FromLong(0));
  if (!module_name || !fromlist || !level) return Ref();
  const Ref import = Ref::borrow(kept_import());
  return call(import.get(), {module_name.get(), Py_None, Py_None, fromlist.get(), level.get()});
}

}  // namespace

// Failures in duties 1 to 7 are not reported to the module body: the
// interpreter does not produce them short of memory exhaustion, and a body
// that runs on finds the pieces it needs missing and fails there.  The
// frames' route (9) fails only when the warning filters turn its warning
// into an error: that error is the module body's failure.
bool run_startup_duties() noexcept {
  // 1. Built-ins hook.
  if (!install_builtins_hook()) PyErr_Clear();

  // 2. Process-wide values.
  if (!shared_values_created) {
    shared_values_created = true;
    if (!create_shared_values()) PyErr_Clear();
  }

  // 3. Object types.  This runtime has one object type of its own, the
  // function type; it has no generator, coroutine, cell, method or frame
  // types (our functions run in the interpreter's frames and bind through
  // its method type).  Readying a ready type does nothing.
  if (!ready_function_type()) PyErr_Clear();

  // 4. The iteration probe is not needed: the runtime iterates through the
  // interpreter's own protocol and has no shortcut that needs the default
  // next slot.

  // 5. isinstance, and 6. type equality, for the function type.
  if (!install_isinstance_hook()) PyErr_Clear();
  install_type_equality_hook();

  // 7. Loader registration.
  if (!loader_registered) {
    loader_registered = true;
    register_embedded_loader(embedded_module_table, nullptr);
  }

  // 8. inspect and types must import: the runtime's functions are shown
  // through them.  The generator-state and coroutine replacements that would
  // follow serve object types this runtime does not have, so none is made.
  if (!introspection_modules_imported) {
    if (!import_top_level("inspect") || !import_top_level("types")) exit_runtime_unusable();
    introspection_modules_imported = true;
  }

  // 9. Whether our frames run in the thread's frame stack, checked once,
  // before any frame of ours runs (from 3.11; always so before).
  return choose_frame_route();
}

}  // namespace smsline

// The interpreter's dlopen flags on each interpreter version.
#include "runtime/compat/extension_loading.h"

#include "runtime/ref.h"

namespace smsline {

#if PY_VERSION_HEX >= 0x030C0000
const char* loader_package_context = nullptr;
#endif

int interpreter_dlopen_flags() noexcept {
#if PY_VERSION_HEX < 0x03080000
  return PyThreadState_Get()->interp->dlopenflags;
#else
  // Held for the call: the call could rebind it in sys.
  const Ref getter = Ref::borrow(PySys_GetObject("getdlopenflags"));
  if (!getter) {
    PyErr_SetString(PyExc_RuntimeError, "lost sys.getdlopenflags");
    return -1;
  }
  Ref flags = Ref::steal(PyObject_CallObject(getter.get(), nullptr));
  if (!flags) return -1;
  const long value = PyLong_AsLong(flags.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  return static_cast<int>(value);
#endif
}

}  // namespace smsline

// path_beside_shared_object: names relative to the directory that holds this shared object.
#include <dlfcn.h>
#include <libgen.h>

#include <cstdlib>
#include <cstring>

#include "runtime/shared_object_path.h"

#include "runtime/ref.h"

namespace smsline {

namespace {

// The shared object's directory and "/", made at the first call and kept.
PyObject* shared_object_directory = nullptr;
PyObject* path_separator = nullptr;

}  // namespace

PyObject* path_beside_shared_object(const char* relative) noexcept {
  if (shared_object_directory == nullptr) {
    Dl_info info = {};
    const char* file = "";
    if (dladdr(reinterpret_cast<void*>(&path_beside_shared_object), &info) != 0 && info.dli_fname != nullptr) {
      file = info.dli_fname;
    }
    // dirname() may modify its argument: it gets a copy.
    char* copy = strdup(file);
    if (copy == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
    shared_object_directory = PyUnicode_DecodeFSDefault(dirname(copy));
    free(copy);
    if (shared_object_directory == nullptr) return nullptr;
  }
  if (path_separator == nullptr && (path_separator = PyUnicode_FromString("/")) == nullptr) return nullptr;
  Ref relative_text = Ref::steal(PyUnicode_FromString(relative));
  if (!relative_text) return nullptr;
  Ref head = Ref::steal(PyUnicode_Concat(shared_object_directory, path_separator));
  if (!head) return nullptr;
  return PyUnicode_Concat(head.get(), relative_text.get());
}

}  // namespace smsline

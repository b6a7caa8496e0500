// The bounds of a thread's C stack, for the check that a call of one of our functions has room on it.
#include <dlfcn.h>
#include <pthread.h>

#include <cstddef>

#include "runtime/compat/thread_state.h"

namespace smsline {

namespace {

// The margin kept below a call: a quarter of the stack, at most 256 KiB.
constexpr std::size_t MARGIN_LIMIT = 256 * 1024;

// pthread_getattr_np and pthread_attr_getstack as the running process
// defines them, looked up at the first thread's first call and kept (null
// when absent).  They are looked up rather than linked: glibc 2.32 and 2.34
// moved them from libpthread into libc under new symbol versions, and a
// link here would ask for those versions, which older systems lack.
using GetAttributes = int (*)(pthread_t, pthread_attr_t*);
using GetStack = int (*)(const pthread_attr_t*, void**, std::size_t*);
GetAttributes get_attributes = nullptr;
GetStack get_stack = nullptr;
bool stack_functions_looked_up = false;

// The calling thread's stack as [bottom, top), or false when it cannot be had.
bool thread_stack(std::uintptr_t& bottom, std::uintptr_t& top) noexcept {
  if (!stack_functions_looked_up) {
    stack_functions_looked_up = true;
    get_attributes = reinterpret_cast<GetAttributes>(dlsym(RTLD_DEFAULT, "pthread_getattr_np"));
    get_stack = reinterpret_cast<GetStack>(dlsym(RTLD_DEFAULT, "pthread_attr_getstack"));
  }
  if (get_attributes == nullptr || get_stack == nullptr) return false;
  pthread_attr_t attributes;
  if (get_attributes(pthread_self(), &attributes) != 0) return false;
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool known = get_stack(&attributes, &lowest, &size) == 0 && size != 0;
  pthread_attr_destroy(&attributes);
  if (!known) return false;
  bottom = reinterpret_cast<std::uintptr_t>(lowest);
  top = bottom + size;
  return true;
}

}  // namespace

bool c_stack_has_room_slow(std::uintptr_t here) noexcept {
  CStackRoom& room = c_stack_room;
  if (room.top == 0) {
    std::uintptr_t bottom = 0, top = 0;
    if (thread_stack(bottom, top)) {
      const std::size_t margin = (top - bottom) / 4 < MARGIN_LIMIT ? (top - bottom) / 4 : MARGIN_LIMIT;
      room = CStackRoom{bottom + margin, top, bottom};
    } else {
      room = CStackRoom{0, UINTPTR_MAX, 0};
    }
    if (here - room.floor < room.top - room.floor) return true;
  }
  // Outside the thread's stack altogether (on a stack that a coroutine
  // library made for itself): nothing to judge by.
  if (here < room.bottom || here >= room.top) return true;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded (the thread's C stack is nearly full)");
  return false;
}

}  // namespace smsline

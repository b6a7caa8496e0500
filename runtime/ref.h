// Ref: the owning reference to an interpreter object used throughout the runtime.
#pragma once

#include "runtime/python.h"

namespace smsline {

// Owns one reference.  A raw PyObject* elsewhere in the code is borrowed.
// Made only through steal() (take over a new reference) or borrow() (add one);
// assignment stores the new pointer first and releases the old one last,
// because a release can run arbitrary code that re-enters us.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = ptr_;
    ptr_ = other.ptr_;
    other.ptr_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(ptr_); }

  static Ref steal(PyObject* ptr) noexcept {
    Ref ref;
    ref.ptr_ = ptr;
    return ref;
  }
  static Ref borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return steal(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // Gives up ownership; the caller now holds the reference.
  PyObject* release() noexcept {
    PyObject* ptr = ptr_;
    ptr_ = nullptr;
    return ptr;
  }
  // A second owner of the same object.
  Ref copy() const noexcept { return borrow(ptr_); }
  void reset() noexcept {
    PyObject* old = ptr_;
    ptr_ = nullptr;
    Py_XDECREF(old);
  }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace smsline

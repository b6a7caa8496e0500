// ForLoop: iterating a sequence as the interpreter's for statement does.
#pragma once

#include "runtime/python.h"
#include "runtime/ref.h"

namespace smsline {

// An exact list is walked by index, as its own iterator walks it (the length
// read afresh at each step, the list let go when the walk ends); anything
// else through its iterator.
class ForLoop {
 public:
  // False with an exception set when `sequence` is not iterable.
  bool begin(PyObject* sequence) noexcept {
    if (PyList_CheckExact(sequence)) {
      list_ = Ref::borrow(sequence);
      return true;
    }
    iterator_ = Ref::steal(PyObject_GetIter(sequence));
    return static_cast<bool>(iterator_);
  }
  // The next item, or null: the end when no exception is set.
  Ref next() noexcept {
    if (list_) {
      if (index_ < PyList_GET_SIZE(list_.get())) return Ref::borrow(PyList_GET_ITEM(list_.get(), index_++));
      list_.reset();
      return Ref();
    }
    return iterator_ ? Ref::steal(PyIter_Next(iterator_.get())) : Ref();
  }
  // Lets go of the sequence or its iterator.
  void reset() noexcept {
    list_.reset();
    iterator_.reset();
  }

 private:
  Ref list_;
  Py_ssize_t index_ = 0;
  Ref iterator_;
};

}  // namespace smsline

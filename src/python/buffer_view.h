// BufferView: a buffer-protocol view of a Python object, held for a scope.
#pragma once

#include "py.h"

#include "py_ref.h"

namespace bmx::py {

/// A view taken by acquire() and released by the destructor, which needs the
/// interpreter lock: keep the view outside every scope that releases it.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_ && !retaking_interpreter_lock) PyBuffer_Release(&view_);
  }

  /// Takes a view of `object` as `flags` request it; false with the Python
  /// error set when the object refuses.
  bool acquire(PyObject* object, int flags) {
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }

  /// The view, after a successful acquire().
  const Py_buffer& get() const { return view_; }
  void* data() const { return view_.buf; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace bmx::py

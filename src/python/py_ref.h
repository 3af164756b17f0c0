// PyRef: an owned Python reference; GilRelease: the interpreter lock released for a scope.
#pragma once

#include "py.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace bmx::py {

/// Debug and sanitizer builds (BMX_CHECK_GIL) stop the process when a
/// reference count changes on a thread that does not hold the interpreter
/// lock: that corrupts memory silently and surfaces far away, if ever.
inline void check_gil_held() {
#ifdef BMX_CHECK_GIL
  if (PyGILState_Check() == 0) {
    std::fputs("brindlemox: a Python reference changed without the interpreter lock\n", stderr);
    std::abort();
  }
#endif
}

/// Owns one reference, or none. Construct through steal() or borrow() so that
/// ownership shows at every call site.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    if (object != nullptr) check_gil_held();
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) : object_(other.object_) {
    if (object_ != nullptr) check_gil_held();
    Py_XINCREF(object_);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    // The new pointer is stored before the old one is released: a decref can
    // run arbitrary code that might look at this reference.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    if (old != nullptr) check_gil_held();
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() {
    if (object_ != nullptr) check_gil_held();
    Py_XDECREF(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  /// Hands the reference to the caller (for the value returned to CPython).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

/// Releases the interpreter lock for its lifetime. Engine values, never
/// Python objects, may be used inside the scope.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace bmx::py

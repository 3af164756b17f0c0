// PyRef: an owned Python reference; without_gil: a call made with the
// interpreter lock released.
#pragma once

#include "py.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

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

/// True while this thread takes the interpreter lock back in without_gil().
/// A thread that does so while the interpreter shuts down is ended right there
/// by forced unwinding, without the lock; the destructors that unwinding runs
/// then leave their Python objects alone (the process is ending).
inline thread_local bool retaking_interpreter_lock = false;

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
    if (object_ == nullptr || retaking_interpreter_lock) return;
    check_gil_held();
    Py_DECREF(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  /// Hands the reference to the caller (for the value returned to CPython).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

/// Calls `work()` with the interpreter lock released and returns its result
/// (or rethrows its exception) once the lock is taken back. `work` may use
/// engine values, never Python objects.
///
/// The lock is taken back in this plain function, never in a destructor: a
/// thread that takes it while the interpreter is finalizing is ended by
/// pthread_exit, whose forced unwinding must be able to pass through here and
/// every frame above (no noexcept frame, no catch-all that swallows it).
template <class Work>
std::invoke_result_t<Work&> without_gil(Work&& work) {
  using R = std::invoke_result_t<Work&>;
  if constexpr (std::is_void_v<R>) {
    without_gil([&work] {
      work();
      return std::monostate{};
    });
  } else {
    PyThreadState* const state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<R> result;
    try {
      result.emplace(work());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
    retaking_interpreter_lock = true;
    PyEval_RestoreThread(state);
    retaking_interpreter_lock = false;
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace bmx::py

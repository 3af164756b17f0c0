// The Python boundary: every entry point runs its body inside guard(), which
// turns engine failures into Python exceptions; and the two fixed conversions
// of ComputeError into exceptions.
#pragma once

#include "py.h"

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "compute_error.h"
#include "internal_failure.h"

namespace bmx::py {

// The raising helpers return nullptr, the failure marker of an entry point,
// so that a body ends with `return set_error(...);`.

/// The pending Python error, which is cleared, as "ModuleNotFoundError: No
/// module named 'numpy'": its class name, then ": " and its text when it has one.
std::string describe_pending_error();

/// Sets an exception of `type` whose single argument is `message` (which may hold NULs).
std::nullptr_t set_error(PyObject* type, const std::string& message);

/// Sets PanicException(message), creating the class on first need.
void raise_panic(const std::string& message);

/// Reports `failure` on stderr with its source location, then raises it as PanicException.
void raise_internal_failure(const InternalFailure& failure);

/// The operating system refused a resource, such as a thread: RuntimeError
/// with the error's text.
void raise_os_refusal(const std::system_error& error);

/// The generic conversion: RuntimeError with the error's display text.
std::nullptr_t raise_generic(const ComputeError& error);

/// The task-result conversion: the exception class by kind, the bare message.
std::nullptr_t raise_task_error(const ComputeError& error);

/// A factory's refusal of its input: ValueError with the bare message.
std::nullptr_t raise_refusal(const ComputeError& error);

/// For a failed interpreter call that cannot fail in normal operation:
/// prints and clears the Python error, then fails with "Python API call failed".
[[noreturn]] void fail_python_api(std::source_location where = std::source_location::current());

/// Returns `object` when it is not null; otherwise fail_python_api().
PyObject* expect_object(PyObject* object, std::source_location where = std::source_location::current());

/// A new str holding `text` (UTF-8, may hold NULs); a failure is fail_python_api().
PyObject* new_text(const std::string& text, std::source_location where = std::source_location::current());

/// A null result without a pending exception becomes SystemError.
void ensure_error_set();

/// Runs `body` (returning PyObject* or int) and converts every C++ failure;
/// returns nullptr / -1 with a Python exception set on failure. Not noexcept
/// and without a catch-all (everything the engine throws is a std::exception),
/// so that the forced unwinding that ends a thread during interpreter shutdown
/// passes through (see without_gil).
template <class Body>
auto guard(Body&& body) -> decltype(body()) {
  using R = decltype(body());
  constexpr R failed = [] {
    if constexpr (std::is_pointer_v<R>) {
      return R{nullptr};
    } else {
      return R{-1};
    }
  }();
  try {
    R result = body();
    if (result == failed) ensure_error_set();
    return result;
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::system_error& error) {
    raise_os_refusal(error);
  } catch (const std::exception&) {
    raise_panic("the native engine failed");
  }
  return failed;
}

}  // namespace bmx::py

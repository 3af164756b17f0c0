// Waits that answer Ctrl-C: the engine waits in short slices with the
// interpreter lock released, and between slices the interpreter's signal
// handlers run (on the main thread; elsewhere the check does nothing).
#pragma once

#include "py.h"

#include <chrono>
#include <optional>

#include "channel/waiter.h"
#include "py_ref.h"

namespace bmx::py {

/// How long one slice of an interruptible wait lasts.
inline constexpr std::chrono::milliseconds kWaitSlice{50};

/// Calls `attempt(deadline)` (which returns an empty optional when the
/// deadline passed with nothing done): once at once with the lock held and an
/// expired deadline, then with the lock released, slice after slice, until it
/// gives an outcome. Empty, with the handler's exception set,
/// when a signal handler raised; the interrupted attempt has done nothing.
template <class Attempt>
auto wait_interruptibly(Attempt&& attempt) -> decltype(attempt(Deadline{})) {
  // An operation that can complete at once does so without handing the lock
  // to another thread and back, which costs more than the operation.
  if (auto outcome = attempt(Deadline(std::chrono::steady_clock::time_point{}))) return outcome;
  for (;;) {
    auto outcome = [&] {
      GilRelease unlocked;
      return attempt(Deadline(std::chrono::steady_clock::now() + kWaitSlice));
    }();
    if (outcome) return outcome;
    if (PyErr_CheckSignals() < 0) return {};
  }
}

}  // namespace bmx::py

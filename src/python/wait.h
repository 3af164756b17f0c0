// Waits that cost nothing and answer Ctrl-C: the engine waits with the
// interpreter lock released, parked on its own word with no time limit, and
// only a signal delivered to the waiting thread (Ctrl-C reaches the main
// thread) ends the wait early, so that the signal handlers can run.
#pragma once

#include "py.h"

#include "deadline.h"
#include "py_ref.h"

namespace bmx::py {

/// Calls `attempt(deadline)`, which returns an empty optional when the
/// deadline ended the wait with nothing done: once with the lock held and an
/// expired deadline, then with the lock released until it gives an outcome or
/// a signal interrupts it. After a signal the lock is taken back and the
/// handlers run; if one raised, the result is empty with its exception set
/// (the interrupted attempt has done nothing), otherwise the wait resumes.
template <class Attempt>
auto wait_interruptibly(Attempt&& attempt) -> decltype(attempt(Deadline{})) {
  // An operation that can complete at once does so without handing the lock
  // to another thread and back, which costs more than the operation.
  if (auto outcome = attempt(Deadline::expired())) return outcome;
  for (;;) {
    auto outcome = without_gil([&] { return attempt(Deadline::until_signal()); });
    if (outcome) return outcome;
    if (PyErr_CheckSignals() < 0) return {};
  }
}

/// wait_interruptibly that also gives up at `at`: then the result is empty
/// with no exception set (the attempt has done nothing).
template <class Attempt>
auto wait_interruptibly_until(Deadline::Clock::time_point at, Attempt&& attempt) -> decltype(attempt(Deadline{})) {
  if (auto outcome = attempt(Deadline::expired())) return outcome;
  const Deadline deadline = Deadline::until_signal_or(at);
  if (has_expired(deadline)) return {};
  for (;;) {
    auto outcome = without_gil([&] { return attempt(deadline); });
    if (outcome) return outcome;
    if (PyErr_CheckSignals() < 0 || has_expired(deadline)) return {};
  }
}

}  // namespace bmx::py

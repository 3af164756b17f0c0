// PerProcess<T>: the one T of this process, created on first use, never
// destroyed, and created anew in a forked child.
//
// A child of fork() has only the thread that forked. The parent's T may rely
// on threads that do not exist there and on locks that stay held for good,
// so the child forgets it (it stays allocated, never touched again) and
// builds its own on first use. The creation lock is held across fork(), so a
// child never inherits a half-built instance. Used for the worker pool and
// the delivery queue.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "internal_failure.h"
#include "no_destructor.h"

namespace bmx {

/// One instance per type T and process.
template <class T>
class PerProcess {
 public:
  /// This process's instance. The first call in the process, and the first
  /// in a forked child, makes it with `create()`, which returns a
  /// std::unique_ptr<T>; racing first calls make it once. If `create` throws,
  /// nothing is kept and the next call tries again. Any thread may call it.
  template <class Create>
  static T& get(Create&& create) {
    State& state = shared_state();
    // Acquire pairs with the release store below: the instance is fully built.
    if (T* current = state.current.load(std::memory_order_acquire)) return *current;
    const std::scoped_lock lock(state.mutex);
    if (T* current = state.current.load(std::memory_order_relaxed)) return *current;
    if (!state.fork_handlers_installed) {
      check(pthread_atfork(lock_before_fork, unlock_in_parent, forget_in_child) == 0,
            "failed to install fork handlers");
      state.fork_handlers_installed = true;
    }
    // Room first: once created, the instance (and any thread it started)
    // must never be destroyed by a failure to store it.
    state.created.reserve(state.created.size() + 1);
    state.created.push_back(create());
    T* fresh = state.created.back().get();
    state.current.store(fresh, std::memory_order_release);
    return *fresh;
  }

 private:
  struct State {
    /// Held while an instance is made, and across fork().
    std::mutex mutex;
    /// The instance of this process, or null until its first use.
    std::atomic<T*> current{nullptr};
    /// Every instance this process made or inherited. None is destroyed: an
    /// inherited one may hold locks or name threads that no longer exist,
    /// and threads of this process may still use their own. Guarded by `mutex`.
    std::vector<std::unique_ptr<T>> created;
    /// Guarded by `mutex`.
    bool fork_handlers_installed = false;
  };

  static State& shared_state() {
    static NoDestructor<State> state;
    return *state;
  }

  static void lock_before_fork() { shared_state().mutex.lock(); }
  static void unlock_in_parent() { shared_state().mutex.unlock(); }
  static void forget_in_child() {
    State& state = shared_state();
    // Relaxed: the child runs one thread, and the mutex orders the rest.
    state.current.store(nullptr, std::memory_order_relaxed);
    state.mutex.unlock();
  }
};

}  // namespace bmx

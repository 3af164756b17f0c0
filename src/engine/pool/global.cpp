// The process-wide pool: created on first use, sized by the thread setting,
// replaced in a forked child.
//
// A child of fork() has only the thread that forked; the old pool's workers
// do not exist there and its locks may be held for good. The child therefore
// forgets every pool (they stay allocated, never touched again) and builds a
// new one on first use.
//
// Changing the thread setting switches later runs to a pool of the new size.
// Runs already under way finish on the pool they started on, so no pool is
// ever destroyed; a pool of each size is built once per process and reused,
// and the workers of the pools not in use stay parked.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "internal_failure.h"
#include "no_destructor.h"
#include "pool.h"

namespace bmx {
namespace {

struct GlobalPools {
  /// Held while a pool is created or chosen, and across fork() so that a
  /// child never inherits a half-built pool.
  std::mutex mutex;
  /// The pool in use in this process, or null until the first use.
  std::atomic<WorkPool*> current{nullptr};
  /// The thread setting; 0 until set_num_threads is called. A forked child
  /// keeps its parent's.
  std::atomic<std::size_t> num_threads{0};
  /// The CPUs this process may run on, read once on first need; 0 before.
  std::atomic<std::size_t> allowed_cpus{0};
  /// Every pool this process created or inherited; none is ever destroyed,
  /// because a run may still be under way on it and an inherited one has
  /// threads that cannot be joined. Guarded by `mutex`.
  std::vector<std::unique_ptr<WorkPool>> created;
  /// The pools built in this process, which a new setting may switch back
  /// to. Guarded by `mutex`.
  std::vector<WorkPool*> usable;
  /// Guarded by `mutex`.
  bool fork_handlers_installed = false;
};

GlobalPools& global_pools() {
  static NoDestructor<GlobalPools> pools;
  return *pools;
}

void lock_before_fork() { global_pools().mutex.lock(); }

void unlock_in_parent() { global_pools().mutex.unlock(); }

void reset_in_child() {
  GlobalPools& pools = global_pools();
  // Relaxed: the child runs one thread, and the mutex below orders the rest.
  pools.current.store(nullptr, std::memory_order_relaxed);
  pools.usable.clear();
  pools.mutex.unlock();
}

/// The CPUs this process may run on, which a container or `taskset` may
/// limit below the machine's count.
std::size_t count_allowed_cpus() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    const int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : processors;
}

/// The calling thread works beside the pool's workers.
std::size_t workers_for(std::size_t num_threads) { return num_threads > 1 ? num_threads - 1 : 1; }

/// count_allowed_cpus() of the first call: a system call is too dear for
/// every evaluation.
std::size_t default_num_threads() {
  std::atomic<std::size_t>& cached = global_pools().allowed_cpus;
  // Relaxed: one value with no data published through it; threads racing
  // here store the same count.
  std::size_t count = cached.load(std::memory_order_relaxed);
  if (count == 0) {
    count = count_allowed_cpus();
    cached.store(count, std::memory_order_relaxed);
  }
  return count;
}

}  // namespace

std::size_t WorkPool::num_threads() {
  // Relaxed: the setting is one value with no data published through it.
  const std::size_t set = global_pools().num_threads.load(std::memory_order_relaxed);
  return set != 0 ? set : default_num_threads();
}

std::size_t WorkPool::set_num_threads(std::size_t n) {
  check(n >= 1, "the thread count must be at least 1");
  const std::size_t previous = num_threads();
  global_pools().num_threads.store(n, std::memory_order_relaxed);
  return previous;
}

WorkPool& WorkPool::global() {
  GlobalPools& pools = global_pools();
  const std::size_t workers = workers_for(num_threads());
  // Acquire pairs with the release store below: the pool is fully built.
  WorkPool* pool = pools.current.load(std::memory_order_acquire);
  if (pool != nullptr && pool->thread_count() == workers) return *pool;
  std::scoped_lock lock(pools.mutex);
  if (!pools.fork_handlers_installed) {
    check(pthread_atfork(lock_before_fork, unlock_in_parent, reset_in_child) == 0, "pthread_atfork failed");
    pools.fork_handlers_installed = true;
  }
  pool = nullptr;
  for (WorkPool* built : pools.usable) {
    if (built->thread_count() == workers) pool = built;
  }
  if (pool == nullptr) {
    pools.created.push_back(std::make_unique<WorkPool>(workers));
    pool = pools.created.back().get();
    pools.usable.push_back(pool);
  }
  pools.current.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace bmx

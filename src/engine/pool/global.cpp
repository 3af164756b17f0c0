// The process-wide pool: created on first use, replaced in a forked child.
//
// A child of fork() has only the thread that forked; the old pool's workers
// do not exist there and its locks may be held for good. The child therefore
// forgets the pool (it stays allocated, never touched again) and builds a new
// one on first use.
#include <pthread.h>

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
  /// Held while a pool is created, and across fork() so that a child never
  /// inherits a half-built pool.
  std::mutex mutex;
  /// The pool in use in this process, or null until the first use.
  std::atomic<WorkPool*> current{nullptr};
  /// Every pool this process created or inherited; none is ever destroyed,
  /// because an inherited one has threads that cannot be joined. Guarded by `mutex`.
  std::vector<std::unique_ptr<WorkPool>> created;
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
  pools.mutex.unlock();
}

std::size_t default_thread_count() {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : processors;
}

}  // namespace

WorkPool& WorkPool::global() {
  GlobalPools& pools = global_pools();
  // Acquire pairs with the release store below: the pool is fully built.
  if (WorkPool* pool = pools.current.load(std::memory_order_acquire)) return *pool;
  std::scoped_lock lock(pools.mutex);
  if (WorkPool* pool = pools.current.load(std::memory_order_relaxed)) return *pool;
  if (!pools.fork_handlers_installed) {
    check(pthread_atfork(lock_before_fork, unlock_in_parent, reset_in_child) == 0, "pthread_atfork failed");
    pools.fork_handlers_installed = true;
  }
  pools.created.push_back(std::make_unique<WorkPool>(default_thread_count()));
  WorkPool* pool = pools.created.back().get();
  pools.current.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace bmx

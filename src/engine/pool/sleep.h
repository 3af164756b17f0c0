// WorkerSleep: how idle pool threads park, and who wakes them.
//
// Workers park when a search for work has found nothing for a while; they are
// woken by new work (one worker per published job, and only when no worker is
// already searching) or, when they parked inside a join, by the thread that
// finished the job they wait for. Threads outside the pool park only inside a
// join and are woken only by that.
//
// Invariants:
//   - `searching_` counts workers that are awake in a wait loop, looking for
//     work rather than running a job. A woken worker is counted by its waker,
//     so a second publisher does not wake another worker for the same work.
//   - `idle_` lists the parked workers, and Slot::idle is true exactly for
//     them (both guarded by `mutex_`); `sleeping_` mirrors idle_.size().
//   - A worker leaves `idle_` only through a waker, which sets its wake word,
//     or by itself before it parks, when its re-check finds new work.
//   - No lost wake-up: a worker about to park registers in `idle_`, then
//     re-reads the work epoch; a publisher bumps the epoch, then reads
//     `searching_` and `sleeping_`. All four are seq_cst, so either the worker
//     sees the new epoch and does not park, or the publisher sees it parked.
//   - Wake-ups are sent after `mutex_` is released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace bmx {

class JoinLatch;

class WorkerSleep {
 public:
  /// The owner index of a latch owned by a thread outside the pool.
  static constexpr std::size_t kOutside = std::numeric_limits<std::size_t>::max();

  /// Sleep state for `workers` workers, all initially awake and not searching.
  explicit WorkerSleep(std::size_t workers);
  WorkerSleep(const WorkerSleep&) = delete;
  WorkerSleep& operator=(const WorkerSleep&) = delete;

  /// Any thread. A count of published jobs, read before a search so that
  /// park_worker() can tell whether work arrived after the search began.
  std::uint32_t work_epoch() const { return work_epoch_.load(std::memory_order_seq_cst); }

  /// Any thread, after queueing a job: wakes one parked worker unless a
  /// worker is already searching.
  void notify_new_work();

  /// Workers only: the calling worker starts (begin_search) or stops
  /// (end_search) looking for work. A worker ending a search because it found
  /// work passes `more_work` when it saw more queued work; if it was the last
  /// searcher, another worker is then woken to take that work.
  void begin_search() { searching_.fetch_add(1, std::memory_order_seq_cst); }
  void end_search(bool more_work);

  /// Worker `index`, which is searching and found no work since `seen_epoch`:
  /// parks until woken, unless work was published meanwhile, the pool is
  /// terminating, or `latch` (when not null) is already set. The worker is
  /// searching again on return; wake-ups may be spurious, so the caller
  /// re-checks its condition.
  void park_worker(std::size_t index, std::uint32_t seen_epoch, JoinLatch* latch);

  /// A thread outside the pool: parks until `latch`, which it owns, may have
  /// been set. May return spuriously.
  void park_outside(JoinLatch& latch);

  /// The thread that set a latch whose owner announced sleep: wakes that
  /// owner (worker index or kOutside).
  void wake_latch_owner(std::size_t owner);

  /// Wakes every worker for good: their main loops end.
  void terminate();
  bool is_terminating() const { return terminating_.load(std::memory_order_seq_cst); }

 private:
  struct alignas(64) Slot {
    /// Set to 1 by the waker; the parked worker waits while it is 0.
    std::atomic<std::uint32_t> wake{0};
    /// Listed in `idle_`; guarded by `mutex_`.
    bool idle = false;
  };

  void wake_one();
  void wake_worker(std::size_t index);
  /// Takes `index` off `idle_` and counts it as searching; `mutex_` held.
  void unlist(std::size_t index);

  std::mutex mutex_;
  /// Parked workers, most recently parked last; guarded by `mutex_`.
  std::vector<std::size_t> idle_;
  std::unique_ptr<Slot[]> slots_;
  std::atomic<std::uint32_t> work_epoch_{0};
  std::atomic<std::size_t> searching_{0};
  std::atomic<std::size_t> sleeping_{0};
  /// Bumped whenever a latch owned by an outside thread is set while its
  /// owner announced sleep; outside threads park on it.
  std::atomic<std::uint32_t> outside_epoch_{0};
  std::atomic<bool> terminating_{false};
};

}  // namespace bmx

// WorkerSleep: how idle pool threads park, who wakes them, and which of them
// may keep running.
//
// Workers park when a search for work has found nothing for a while; they are
// woken by new work (one worker per published job, and only when no worker is
// already searching) or, when they parked inside a join, by the thread that
// finished the job they wait for. Threads outside the pool park only inside a
// join and are woken only by that.
//
// Workers [0, active()) are the active ones. A worker at or above active()
// that runs out of work outside any join retires instead of parking: its
// thread ends. set_active() wakes the parked surplus so that it retires at
// once; claim() tells the pool which slots below the count need a new thread.
//
// Invariants:
//   - `searching_` counts workers that are awake in a wait loop, looking for
//     work rather than running a job. A woken worker is counted by its waker,
//     so a second publisher does not wake another worker for the same work.
//   - `idle_` lists the parked workers, and Slot::idle is true exactly for
//     them (both guarded by `mutex_`); `sleeping_` mirrors idle_.size().
//   - Slot::live is true while a thread runs for the slot or has been claimed
//     to start (guarded by `mutex_`). A worker decides to retire, and clears
//     its flag, under `mutex_`, where set_active() changes the count: so no
//     slot below the count loses its thread without being handed back.
//   - Only active workers park outside a join; one that set_active() has made
//     surplus is woken to retire. A woken worker that retires instead of
//     taking the work it was woken for passes the wake-up on (park_worker).
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

  /// Sleep state for up to `capacity` workers; none is active or live.
  explicit WorkerSleep(std::size_t capacity);
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
  /// parks until woken, unless work was published meanwhile or `latch` (when
  /// not null) is already set. The worker is searching again on return;
  /// wake-ups may be spurious, so the caller re-checks its condition. Returns
  /// false instead when the worker waits for no latch and is not active: it
  /// has retired, is no longer searching, and its thread must end.
  bool park_worker(std::size_t index, std::uint32_t seen_epoch, JoinLatch* latch);

  /// A thread outside the pool: parks until `latch`, which it owns, may have
  /// been set. May return spuriously.
  void park_outside(JoinLatch& latch);

  /// The thread that set a latch whose owner announced sleep: wakes that
  /// owner (worker index or kOutside).
  void wake_latch_owner(std::size_t owner);

  /// Any thread. How many workers are active.
  std::size_t active() const { return active_.load(std::memory_order_seq_cst); }

  /// One caller at a time. Makes workers [0, count) the active ones and wakes
  /// the parked workers at or above `count`, which then retire. Slots below
  /// `count` without a thread are found with claim().
  void set_active(std::size_t count);

  /// The caller of set_active(), for a slot below the active count: true when
  /// the slot has no thread, which it now counts as live, so the caller must
  /// start one for it or give the slot back with abandon(). False when a
  /// thread runs for it.
  bool claim(std::size_t index);

  /// The caller of claim(): no thread could be started for the claimed slot.
  void abandon(std::size_t index);

 private:
  struct alignas(64) Slot {
    /// Set to 1 by the waker; the parked worker waits while it is 0.
    std::atomic<std::uint32_t> wake{0};
    /// Listed in `idle_`; guarded by `mutex_`.
    bool idle = false;
    /// Parked inside a join, for its latch; guarded by `mutex_`.
    bool in_join = false;
    /// A thread runs for this slot; guarded by `mutex_`.
    bool live = false;
  };

  /// Wakes the most recently parked worker that `pick(index)` accepts; false
  /// when there is none.
  template <class Pick>
  bool wake_idle(Pick pick);
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
  /// Written under `mutex_`; read anywhere.
  std::atomic<std::size_t> active_{0};
};

}  // namespace bmx

// Parking and waking pool threads.
#include "sleep.h"

#include <algorithm>

#include "latch.h"

namespace bmx {

WorkerSleep::WorkerSleep(std::size_t workers) : slots_(std::make_unique<Slot[]>(workers)) {
  // Reserved so that parking never allocates.
  idle_.reserve(workers);
}

void WorkerSleep::notify_new_work() {
  work_epoch_.fetch_add(1, std::memory_order_seq_cst);
  if (searching_.load(std::memory_order_seq_cst) == 0 && sleeping_.load(std::memory_order_seq_cst) != 0) wake_one();
}

void WorkerSleep::end_search(bool more_work) {
  const std::size_t before = searching_.fetch_sub(1, std::memory_order_seq_cst);
  if (before == 1 && more_work && sleeping_.load(std::memory_order_seq_cst) != 0) wake_one();
}

void WorkerSleep::park_worker(std::size_t index, std::uint32_t seen_epoch, JoinLatch* latch) {
  Slot& slot = slots_[index];
  {
    std::scoped_lock lock(mutex_);
    if (latch != nullptr && !latch->try_sleep()) return;
    // Register, then re-check: see the lost-wake-up invariant.
    // Relaxed: the wake word is written only under mutex_, and the parked load
    // below pairs with the waker's release store in unlist().
    slot.wake.store(0, std::memory_order_relaxed);
    slot.idle = true;
    idle_.push_back(index);
    sleeping_.store(idle_.size(), std::memory_order_seq_cst);
    searching_.fetch_sub(1, std::memory_order_seq_cst);
    if (work_epoch_.load(std::memory_order_seq_cst) != seen_epoch || terminating_.load(std::memory_order_seq_cst)) {
      unlist(index);
      if (latch != nullptr) latch->wake_up();
      return;
    }
  }
  // Acquire pairs with the waker's release store: the waker's accounting and
  // whatever it published before waking are visible.
  while (slot.wake.load(std::memory_order_acquire) == 0) slot.wake.wait(0, std::memory_order_acquire);
  if (latch != nullptr) latch->wake_up();
}

void WorkerSleep::park_outside(JoinLatch& latch) {
  // Read the counter before announcing sleep: a setter that sees the
  // announcement bumps the counter afterwards, so the wait below returns.
  const std::uint32_t seen = outside_epoch_.load(std::memory_order_seq_cst);
  if (!latch.try_sleep()) return;
  outside_epoch_.wait(seen, std::memory_order_seq_cst);
  latch.wake_up();
}

void WorkerSleep::wake_latch_owner(std::size_t owner) {
  if (owner != kOutside) {
    wake_worker(owner);
    return;
  }
  // Several outside threads may park on the one counter; each re-checks its
  // own latch, so all are woken.
  outside_epoch_.fetch_add(1, std::memory_order_seq_cst);
  outside_epoch_.notify_all();
}

void WorkerSleep::terminate() {
  terminating_.store(true, std::memory_order_seq_cst);
  std::vector<std::size_t> woken;
  {
    std::scoped_lock lock(mutex_);
    woken = idle_;
    for (const std::size_t index : woken) unlist(index);
  }
  for (const std::size_t index : woken) slots_[index].wake.notify_one();
}

void WorkerSleep::wake_one() {
  std::size_t index = 0;
  {
    std::scoped_lock lock(mutex_);
    if (idle_.empty()) return;
    index = idle_.back();
    unlist(index);
  }
  slots_[index].wake.notify_one();
}

void WorkerSleep::wake_worker(std::size_t index) {
  {
    std::scoped_lock lock(mutex_);
    if (!slots_[index].idle) return;
    unlist(index);
  }
  slots_[index].wake.notify_one();
}

void WorkerSleep::unlist(std::size_t index) {
  idle_.erase(std::find(idle_.begin(), idle_.end(), index));
  slots_[index].idle = false;
  sleeping_.store(idle_.size(), std::memory_order_seq_cst);
  searching_.fetch_add(1, std::memory_order_seq_cst);
  // Release pairs with the acquire load of the parked worker in park_worker().
  slots_[index].wake.store(1, std::memory_order_release);
}

}  // namespace bmx

// Parking and waking pool threads, and retiring the surplus ones.
#include "sleep.h"

#include <algorithm>

#include "latch.h"

namespace bmx {

WorkerSleep::WorkerSleep(std::size_t capacity) : slots_(std::make_unique<Slot[]>(capacity)) {
  // Reserved so that parking never allocates.
  idle_.reserve(capacity);
}

void WorkerSleep::notify_new_work() {
  work_epoch_.fetch_add(1, std::memory_order_seq_cst);
  if (searching_.load(std::memory_order_seq_cst) == 0 && sleeping_.load(std::memory_order_seq_cst) != 0) wake_one();
}

void WorkerSleep::end_search(bool more_work) {
  const std::size_t before = searching_.fetch_sub(1, std::memory_order_seq_cst);
  if (before == 1 && more_work && sleeping_.load(std::memory_order_seq_cst) != 0) wake_one();
}

bool WorkerSleep::park_worker(std::size_t index, std::uint32_t seen_epoch, JoinLatch* latch) {
  Slot& slot = slots_[index];
  bool retired = false;
  {
    std::scoped_lock lock(mutex_);
    if (latch == nullptr && index >= active_.load(std::memory_order_seq_cst)) {
      // Decided under the lock where set_active() changes the count: a
      // worker that parks instead is listed before set_active() looks for
      // surplus to wake.
      slot.live = false;
      retired = true;
    } else {
      if (latch != nullptr && !latch->try_sleep()) return true;
      // Register, then re-check: see the lost-wake-up invariant.
      // Relaxed: the wake word is written only under mutex_, and the parked
      // load below pairs with the waker's release store in unlist().
      slot.wake.store(0, std::memory_order_relaxed);
      slot.idle = true;
      slot.in_join = latch != nullptr;
      idle_.push_back(index);
      sleeping_.store(idle_.size(), std::memory_order_seq_cst);
      searching_.fetch_sub(1, std::memory_order_seq_cst);
      if (work_epoch_.load(std::memory_order_seq_cst) != seen_epoch) {
        unlist(index);
        if (latch != nullptr) latch->wake_up();
        return true;
      }
    }
  }
  if (retired) {
    // A publisher may have counted on this searcher for work that arrived
    // since `seen_epoch`; pass it on, as a searcher that found more work does.
    end_search(work_epoch_.load(std::memory_order_seq_cst) != seen_epoch);
    return false;
  }
  // Acquire pairs with the waker's release store: the waker's accounting and
  // whatever it published before waking are visible.
  while (slot.wake.load(std::memory_order_acquire) == 0) slot.wake.wait(0, std::memory_order_acquire);
  if (latch != nullptr) latch->wake_up();
  return true;
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

void WorkerSleep::set_active(std::size_t count) {
  {
    std::scoped_lock lock(mutex_);
    active_.store(count, std::memory_order_seq_cst);
  }
  // Only workers parked outside a join retire; one waiting for its latch
  // would park again at once. One at a time, so that no wake-up is sent under
  // the lock and nothing is allocated.
  while (wake_idle([&](std::size_t index) { return index >= count && !slots_[index].in_join; })) {
  }
}

bool WorkerSleep::claim(std::size_t index) {
  std::scoped_lock lock(mutex_);
  if (slots_[index].live) return false;
  slots_[index].live = true;
  return true;
}

void WorkerSleep::abandon(std::size_t index) {
  std::scoped_lock lock(mutex_);
  slots_[index].live = false;
}

template <class Pick>
bool WorkerSleep::wake_idle(Pick pick) {
  std::size_t index = 0;
  {
    std::scoped_lock lock(mutex_);
    const auto found = std::find_if(idle_.rbegin(), idle_.rend(), pick);
    if (found == idle_.rend()) return false;
    index = *found;
    unlist(index);
  }
  slots_[index].wake.notify_one();
  return true;
}

void WorkerSleep::wake_one() {
  (void)wake_idle([](std::size_t) { return true; });
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

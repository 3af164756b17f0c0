// JoinLatch: the one-shot "job done" flag that the owner of a join waits on.
//
// States, in the order they can occur:
//   Unset     the job has not finished; the owner is not asleep on it.
//   Sleeping  the owner is about to park or is parked; whoever sets the latch
//             must wake it through WorkerSleep.
//   Set       the job has finished; its results are visible to the owner.
// Transitions: Unset -> Sleeping (owner, try_sleep), Sleeping -> Unset (owner,
// wake_up, after a wake-up that was not this latch), Unset or Sleeping -> Set
// (the thread that ran the job, set). Set is final.
//
// Memory ordering: set() is an acq_rel exchange and is_set() an acquire load,
// so everything the job did (its writes, its stored exception) happens before
// the owner's return from the join. try_sleep() and the exchange in set() are
// seq_cst because a parked outside thread relies on them against its wake
// counter (WorkerSleep::park_outside).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace bmx {

class WorkerSleep;

class JoinLatch {
 public:
  /// A latch owned by worker `owner` of the pool whose sleep state is `sleep`,
  /// or by an outside thread when owner is WorkerSleep::kOutside.
  JoinLatch(WorkerSleep& sleep, std::size_t owner) : sleep_(&sleep), owner_(owner) {}
  JoinLatch(const JoinLatch&) = delete;
  JoinLatch& operator=(const JoinLatch&) = delete;

  /// Any thread. Whether the job has finished.
  bool is_set() const {
    // Acquire pairs with the exchange in set(): the job's effects are visible.
    return state_.load(std::memory_order_acquire) == kSet;
  }

  /// Owner only. Announces that the owner is going to park; false when the
  /// latch is already set (then the owner must not park).
  bool try_sleep() {
    std::uint32_t expected = kUnset;
    if (state_.compare_exchange_strong(expected, kSleeping, std::memory_order_seq_cst)) return true;
    return expected == kSleeping;
  }

  /// Owner only, after waking: withdraws the announcement of try_sleep() if
  /// the latch was not set meanwhile.
  void wake_up() {
    std::uint32_t expected = kSleeping;
    // Relaxed: only the owner's own later try_sleep() reads this value, and a
    // setter racing with it finds either state and acts correctly on both.
    state_.compare_exchange_strong(expected, kUnset, std::memory_order_relaxed);
  }

  /// The thread that ran the job, once. Sets the latch and wakes the owner if
  /// it announced sleep. The owner may destroy the latch as soon as it sees it
  /// set, so nothing of the latch is touched after the exchange.
  void set();

 private:
  static constexpr std::uint32_t kUnset = 0;
  static constexpr std::uint32_t kSleeping = 1;
  static constexpr std::uint32_t kSet = 2;

  std::atomic<std::uint32_t> state_{kUnset};
  WorkerSleep* sleep_;
  std::size_t owner_;
};

}  // namespace bmx

// JobDeque: one worker's fixed-capacity work-stealing deque of job pointers.
//
// The Chase-Lev deque as given for the C11 memory model in "Correct and
// Efficient Work-Stealing for Weak Memory Models" (Lê, Pop, Cohen, Zappa
// Nardelli, PPoPP 2013), without growth: the pool's jobs live in the frames of
// joins, so the number outstanding on one worker is the depth of its nested
// joins, and a full deque just makes the pusher run the job itself.
//
// Invariants:
//   - Only the owning worker calls push() and pop(); any thread calls steal().
//   - Indices only grow at `top_` (by steals and by pop() taking the last
//     job); `bottom_` moves by one at a time, owner only.
//   - [top_, bottom_) are the queued jobs; the owner works at the bottom
//     (newest), thieves at the top (oldest). So once a job is stolen, every
//     job pushed before it is gone too.
//   - A slot is read by a thief before it claims the index by compare-and-swap
//     on `top_`; a thief that loses the race discards what it read.
//
// The paper's two seq_cst fences are expressed as seq_cst operations on
// `bottom_` and `top_` (the store and load around the fence in pop(), the two
// loads in steal()), which gives the same store-load ordering and is what
// ThreadSanitizer understands.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace bmx {

template <class Job>
class JobDeque {
 public:
  static constexpr std::int64_t kCapacity = 256;

  /// Owner only. Queues `job` at the bottom; false when the deque is full.
  bool push(Job* job) {
    const std::int64_t bottom = bottom_.load(std::memory_order_relaxed);
    // Acquire pairs with the CAS of a thief: the slot about to be reused was
    // read before that thief advanced `top_`.
    const std::int64_t top = top_.load(std::memory_order_acquire);
    if (bottom - top >= kCapacity) return false;
    slot(bottom).store(job, std::memory_order_relaxed);
    // Release publishes the slot and the job's fields to the thief that loads
    // this value of `bottom_`.
    bottom_.store(bottom + 1, std::memory_order_release);
    return true;
  }

  /// Owner only. Takes the newest job, or nullptr when none is left.
  Job* pop() {
    const std::int64_t bottom = bottom_.load(std::memory_order_relaxed) - 1;
    // seq_cst store then seq_cst load: a thief either sees the lowered bottom
    // or this load sees its advanced top (the paper's fence in take()).
    bottom_.store(bottom, std::memory_order_seq_cst);
    std::int64_t top = top_.load(std::memory_order_seq_cst);
    if (top > bottom) {
      // Empty: restore. Release keeps every value of `bottom_` a publishing store.
      bottom_.store(bottom + 1, std::memory_order_release);
      return nullptr;
    }
    Job* job = slot(bottom).load(std::memory_order_relaxed);
    if (top == bottom) {
      // The last job: race the thieves for it on `top_`.
      if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        job = nullptr;
      }
      bottom_.store(bottom + 1, std::memory_order_release);
    }
    return job;
  }

  /// Any thread. Takes the oldest job, or nullptr when the deque is empty.
  /// Retries when another thread wins the same index, so nullptr means the
  /// deque was seen empty.
  Job* steal() {
    for (;;) {
      std::int64_t top = top_.load(std::memory_order_seq_cst);
      const std::int64_t bottom = bottom_.load(std::memory_order_seq_cst);
      if (top >= bottom) return nullptr;
      Job* job = slot(top).load(std::memory_order_relaxed);
      if (top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        return job;
      }
    }
  }

  /// Any thread. A hint only: the deque may change at once.
  bool looks_empty() const {
    // Relaxed: the answer is advisory (whether to wake another worker).
    return top_.load(std::memory_order_relaxed) >= bottom_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<Job*>& slot(std::int64_t index) {
    return slots_[static_cast<std::size_t>(index) & static_cast<std::size_t>(kCapacity - 1)];
  }

  static_assert((kCapacity & (kCapacity - 1)) == 0, "capacity must be a power of two");

  /// Next index a thief takes.
  alignas(64) std::atomic<std::int64_t> top_{0};
  /// Next index the owner pushes to.
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  /// The ring; index i lives in slot i mod kCapacity.
  alignas(64) std::array<std::atomic<Job*>, kCapacity> slots_{};
};

}  // namespace bmx

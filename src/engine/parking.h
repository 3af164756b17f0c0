// Parking: the short spin that precedes parking, and parking a thread on a
// 32-bit atomic word (a futex) until another thread changes it and wakes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "deadline.h"

namespace bmx {

/// Exponential backoff for spin loops: a few rounds of busy spinning, then
/// yielding; is_completed() says when the caller should park instead.
class Backoff {
 public:
  void snooze() {
    if (step_ <= kSpinLimit) {
      for (unsigned i = 0; i < (1u << step_); ++i) spin_hint();
    } else {
      std::this_thread::yield();
    }
    if (step_ <= kYieldLimit) ++step_;
  }

  bool is_completed() const { return step_ > kYieldLimit; }

  /// One pause of a spin loop.
  static void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

 private:
  static constexpr unsigned kSpinLimit = 6;
  static constexpr unsigned kYieldLimit = 10;

  unsigned step_ = 0;
};

/// Sleeps while `word` holds `expected`, costing nothing while asleep: true
/// once the word holds another value, false when `deadline` ended the wait
/// first (its time passed or, for a deadline that ends on signals, a signal
/// was delivered to this thread). std::atomic::wait is not used because it
/// neither times out nor returns on a signal.
bool park_while(std::atomic<std::uint32_t>& word, std::uint32_t expected, const Deadline& deadline);

/// Wakes one thread parked on `word`.
void unpark_one(std::atomic<std::uint32_t>& word);

/// Wakes every thread parked on `word`.
void unpark_all(std::atomic<std::uint32_t>& word);

}  // namespace bmx

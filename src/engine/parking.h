// Backoff: the short spin that precedes parking on an atomic word.
#pragma once

#include <thread>

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

 private:
  static constexpr unsigned kSpinLimit = 6;
  static constexpr unsigned kYieldLimit = 10;

  static void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  unsigned step_ = 0;
};

}  // namespace bmx

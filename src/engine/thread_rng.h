// Per-thread pseudo-random numbers for shuffles and victim choice.
#pragma once

#include <cstdint>

namespace bmx {

/// 32-bit xorshift (Marsaglia, "Xorshift RNGs", 2003), seeded once per thread
/// from the thread's identity and a process-wide sequence.
class ThreadRng {
 public:
  /// This thread's generator.
  static ThreadRng& current();

  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

  /// Uniform in [0, bound) for bound > 0, by Lemire's multiply-shift
  /// ("Fast Random Integer Generation in an Interval", 2019) with rejection.
  std::uint32_t below(std::uint32_t bound) {
    std::uint64_t product = std::uint64_t{next()} * bound;
    auto low = static_cast<std::uint32_t>(product);
    if (low < bound) {
      const std::uint32_t threshold = -bound % bound;
      while (low < threshold) {
        product = std::uint64_t{next()} * bound;
        low = static_cast<std::uint32_t>(product);
      }
    }
    return static_cast<std::uint32_t>(product >> 32);
  }

  explicit ThreadRng(std::uint32_t seed) : state_(seed == 0 ? 0x9e3779b9u : seed) {}

 private:
  std::uint32_t state_;
};

}  // namespace bmx

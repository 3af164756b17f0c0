// Seeding of the per-thread generators.
#include "thread_rng.h"

#include <atomic>
#include <functional>
#include <thread>

namespace bmx {

ThreadRng& ThreadRng::current() {
  static std::atomic<std::uint32_t> sequence{0};
  thread_local ThreadRng rng([] {
    // Relaxed: the sequence only has to differ between threads, not order anything.
    const std::uint32_t serial = sequence.fetch_add(0x9e3779b9u, std::memory_order_relaxed);
    const auto identity = static_cast<std::uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    return serial ^ identity;
  }());
  return rng;
}

}  // namespace bmx

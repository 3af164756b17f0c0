// The settle queue's storage and its parking word.
#include "settle_queue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "parking.h"
#include "per_process.h"

namespace bmx {

namespace {

class SettleQueue {
 public:
  void post(std::uint64_t token) {
    {
      const std::scoped_lock lock(mutex_);
      tokens_.push_back(token);
      posted_.store(1, std::memory_order_release);
    }
    unpark_one(posted_);
  }

  std::optional<std::vector<std::uint64_t>> take(const Deadline& deadline) {
    for (;;) {
      {
        const std::scoped_lock lock(mutex_);
        if (!tokens_.empty()) {
          posted_.store(0, std::memory_order_relaxed);
          return std::exchange(tokens_, {});
        }
      }
      // A post after the look above has set the word, so this returns at once.
      if (!park_while(posted_, 0, deadline)) return std::nullopt;
    }
  }

 private:
  std::mutex mutex_;
  /// 1 while tokens are waiting to be taken; changed under mutex_.
  std::atomic<std::uint32_t> posted_{0};
  /// Guarded by mutex_.
  std::vector<std::uint64_t> tokens_;
};

SettleQueue& queue() {
  return PerProcess<SettleQueue>::get([] { return std::make_unique<SettleQueue>(); });
}

}  // namespace

void post_settled(std::uint64_t token) { queue().post(token); }

std::optional<std::vector<std::uint64_t>> take_settled(const Deadline& deadline) { return queue().take(deadline); }

}  // namespace bmx

// The queue a service's thread consumes (see service_thread.h): unbounded,
// first in first out, many producers and the service's thread as its one
// consumer.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace bmx {

template <class T>
class ServiceQueue {
 public:
  /// False, dropping `item`, once the consumer is gone.
  bool push(T item) {
    {
      const std::scoped_lock lock(mutex_);
      if (consumer_gone_) return false;
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return true;
  }

  /// Hands every item to `handle`, oldest first, waiting while there is
  /// none. However that ends (an exception, the thread's cancellation),
  /// later pushes are refused rather than lost.
  template <class Handle>
  [[noreturn]] void consume(Handle handle) {
    struct MarkConsumerGone {
      ServiceQueue& queue;
      ~MarkConsumerGone() {
        const std::scoped_lock lock(queue.mutex_);
        queue.consumer_gone_ = true;
      }
    } const mark_gone{*this};
    for (;;) handle(pop());
  }

 private:
  T pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !items_.empty(); });
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

  std::mutex mutex_;
  /// Signalled when an item is pushed.
  std::condition_variable ready_;
  /// Guarded by mutex_.
  std::deque<T> items_;
  /// The consumer has ended. Guarded by mutex_.
  bool consumer_gone_ = false;
};

}  // namespace bmx

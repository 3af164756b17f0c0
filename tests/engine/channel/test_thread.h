// Helpers for blocking tests: buffers tagged with a number, deadlines, and a
// thread that must finish within a limit. A thread that overruns ends the
// process with a message instead of hanging the test run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "buffer/buffer.h"
#include "channel/waiter.h"

namespace bmx::testing {

using namespace std::chrono_literals;

/// A deadline `delay` from now.
inline Deadline after(std::chrono::steady_clock::duration delay) { return std::chrono::steady_clock::now() + delay; }

/// A one-element buffer holding `tag`.
inline BufferRef tagged(double tag) { return Buffer::from_f64_vec(F64Vec{tag}); }

/// The tag of a buffer made by tagged().
inline double tag_of(const BufferRef& buffer) { return buffer->as_f64_slice()[0]; }

/// A thread whose end can be awaited with a limit.
class TestThread {
 public:
  explicit TestThread(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          body();
          const std::scoped_lock lock(mutex_);
          finished_ = true;
          changed_.notify_all();
        }) {}
  TestThread(const TestThread&) = delete;
  TestThread& operator=(const TestThread&) = delete;
  ~TestThread() {
    if (thread_.joinable()) join_within(10s);
  }

  /// Whether the body returns within `limit`; does not join.
  bool finishes_within(std::chrono::steady_clock::duration limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return finished_; });
  }

  /// Joins, or ends the process if the body has not returned within `limit`.
  void join_within(std::chrono::steady_clock::duration limit) {
    if (!finishes_within(limit)) {
      std::fprintf(stderr, "test thread still running after its deadline\n");
      std::abort();
    }
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace bmx::testing

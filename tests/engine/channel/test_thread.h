// Helpers for blocking tests: channels, buffers tagged with a number, deadlines, and a
// thread that must finish within a limit. A thread that overruns ends the
// process with a message instead of hanging the test run.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "buffer/buffer.h"
#include "channel/channel.h"
#include "deadline.h"

namespace bmx::testing {

using namespace std::chrono_literals;

/// A deadline `delay` from now.
inline Deadline after(std::chrono::steady_clock::duration delay) { return std::chrono::steady_clock::now() + delay; }

/// A new channel of `capacity`.
inline ChannelHandle make_channel(std::uint64_t capacity) {
  std::optional<ChannelHandle> channel = ChannelHandle::create(capacity);
  EXPECT_TRUE(channel.has_value());
  return std::move(*channel);
}

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

/// Runs `wait` on a new thread and keeps sending it SIGUSR1, handled without
/// SA_RESTART as the interpreter handles its signals, until `wait` returns; a
/// signal that lands before the thread parks is simply repeated. Ends the
/// process if `wait` has not returned within `limit`.
inline void signal_until_done(const std::function<void()>& wait, std::chrono::steady_clock::duration limit = 10s) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  sigaction(SIGUSR1, &action, &previous);
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    wait();
    done = true;
  });
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done) {
    if (std::chrono::steady_clock::now() >= until) {
      std::fprintf(stderr, "a signalled wait did not end\n");
      std::abort();
    }
    pthread_kill(waiter.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(5ms);
  }
  waiter.join();
  sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace bmx::testing

// Deadlines and bookkeeping shared by the pool tests.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace bmx::pool_test {

/// The exit status of a forked child that found what it checks.
inline constexpr int kChildCorrect = 0;

using Clock = std::chrono::steady_clock;

inline std::chrono::milliseconds ms(long long count) { return std::chrono::milliseconds(count); }

/// Generous: sanitizer builds on a shared two-core machine are slow.
inline constexpr std::chrono::seconds kDeadline{30};

/// Polls `done` until it holds or `deadline` passes; true when it held.
inline bool wait_for(const std::function<bool()>& done, Clock::duration deadline = kDeadline) {
  const Clock::time_point until = Clock::now() + deadline;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(ms(1));
  }
  return true;
}

/// Runs body(t) on `count` threads and joins them; a thread still running at
/// the deadline is a hang that cannot be joined, so the process aborts.
inline void run_threads(std::size_t count, const std::function<void(std::size_t)>& body,
                        Clock::duration deadline = kDeadline) {
  std::atomic<std::size_t> finished{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < count; ++t) {
    threads.emplace_back([&, t] {
      body(t);
      finished.fetch_add(1);
    });
  }
  if (!wait_for([&] { return finished.load() == count; }, deadline)) {
    std::fprintf(stderr, "pool test: threads still running at the deadline\n");
    std::abort();
  }
  for (std::thread& thread : threads) thread.join();
}

/// Waits for `child` with a deadline; kills it when it hangs. Returns the
/// wait status, or -1 after a kill.
inline int wait_for_child(pid_t child) {
  const Clock::time_point until = Clock::now() + kDeadline;
  int status = 0;
  while (Clock::now() < until) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done < 0) return -1;
    std::this_thread::sleep_for(ms(5));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

/// Counts how often each index of [0, n) was visited.
class HitCounter {
 public:
  explicit HitCounter(std::size_t n) : hits_(n) {}
  void visit(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) hits_[i].fetch_add(1, std::memory_order_relaxed);
  }
  /// The first index not visited exactly once, or n.
  std::size_t first_wrong() const {
    for (std::size_t i = 0; i < hits_.size(); ++i) {
      if (hits_[i].load() != 1) return i;
    }
    return hits_.size();
  }

 private:
  std::vector<std::atomic<unsigned>> hits_;
};

}  // namespace bmx::pool_test

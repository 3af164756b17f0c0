// Parking on a futex word.
#include "parking.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

namespace bmx {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(std::atomic<std::uint32_t>) == 4,
              "a parking word must be a plain 32-bit futex word");

namespace {

/// Sleeps while `word` holds `expected`, at most until `deadline`. Spurious
/// returns happen; true only when a signal cut the sleep short.
bool sleep_on(std::atomic<std::uint32_t>& word, std::uint32_t expected, const Deadline& deadline) {
  timespec timeout{};
  timespec* timeout_arg = nullptr;
  if (deadline.at()) {
    const auto remaining = *deadline.at() - Deadline::Clock::now();
    if (remaining <= Deadline::Clock::duration::zero()) return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
    timeout.tv_sec = static_cast<time_t>(std::min<std::chrono::seconds::rep>(seconds.count(), INT_MAX));
    timeout.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds).count());
    timeout_arg = &timeout;
  }
  // The relative timeout runs on CLOCK_MONOTONIC, the clock of steady_clock.
  // Other failures (EAGAIN: the word had already changed; ETIMEDOUT) send
  // the caller back to look at the word and the deadline.
  return syscall(SYS_futex, static_cast<void*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout_arg, nullptr, 0) != 0 &&
         errno == EINTR;
}

}  // namespace

bool park_while(std::atomic<std::uint32_t>& word, std::uint32_t expected, const Deadline& deadline) {
  for (;;) {
    if (word.load() != expected) return true;
    if (has_expired(deadline)) return false;
    if (sleep_on(word, expected, deadline) && deadline.ends_on_signal()) return word.load() != expected;
  }
}

void unpark_one(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, static_cast<void*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void unpark_all(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, static_cast<void*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace bmx

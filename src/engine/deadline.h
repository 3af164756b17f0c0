// Deadline: when a wait gives up. Shared by the channel queues, tasks and the
// binding layer, whose waits must end when a signal arrives.
#pragma once

#include <chrono>
#include <optional>

namespace bmx {

/// When a wait gives up: never, at a point in time, or (for a thread that must
/// answer signals) when a signal interrupts it. A wait that gives up has done
/// nothing.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  /// Never. Implicit, like the time point below, so that call sites read as
  /// `recv(std::nullopt)` and `recv(now + 5s)`.
  Deadline(std::nullopt_t = std::nullopt) {}
  /// At `at`; a time already passed means: look once, never wait.
  Deadline(Clock::time_point at) : at_(at) {}

  /// No time limit, but a signal delivered to the waiting thread ends the wait.
  static Deadline until_signal() {
    Deadline deadline;
    deadline.ends_on_signal_ = true;
    return deadline;
  }

  /// At `at`, or earlier when a signal interrupts the wait.
  static Deadline until_signal_or(Clock::time_point at) {
    Deadline deadline(at);
    deadline.ends_on_signal_ = true;
    return deadline;
  }

  /// Already passed: the operation only looks.
  static Deadline expired() { return Deadline(Clock::time_point{}); }

  const std::optional<Clock::time_point>& at() const { return at_; }
  bool ends_on_signal() const { return ends_on_signal_; }

 private:
  std::optional<Clock::time_point> at_;
  bool ends_on_signal_ = false;
};

/// True when `deadline` has a time and that time has passed.
inline bool has_expired(const Deadline& deadline) { return deadline.at() && Deadline::Clock::now() >= *deadline.at(); }

}  // namespace bmx

// Task: the shared record of one submission, its state machine and its output.
//
// Invariants:
//   mutex_ guards state_ and output_; it is held only to read, copy, store or
//   release them, never together with another engine lock, and nobody waits
//   while holding it.
//   Completed, Failed and Cancelled are terminal: once state_ is terminal it
//   never changes again (mark_running runs only on a task no other thread can
//   reach yet).
//   A Completed task always has an output.
//   done_ is 0 while the task is pending and 1 once it is terminal; it changes
//   under mutex_ together with state_, and every thread parked on it is woken
//   (after mutex_ is dropped) exactly on the transitions into a terminal state.
//
// Transitions (operation: from -> to):
//   mark_running          any            -> RunningCompute   (submitting thread)
//   mark_delivery_queued  pending        -> DeliveryQueued   output stored (submitting thread)
//   complete              pending        -> Completed        output stored (submitting thread)
//   mark_delivering       DeliveryQueued -> Delivering       (delivery worker)
//   complete_delivery     pending        -> Completed        keeps the output (delivery worker)
//   fail                  pending        -> Failed(error)    (submitting thread, delivery worker)
//   cancel                pending        -> Cancelled        (any thread)
//   start                 Created        -> RunningCompute   (task runner)
//   withdraw              Created or DeliveryQueued -> Cancelled (any thread)
// A task given a settle token posts it to the settle queue once, on its
// transition into a terminal state, after mutex_ is dropped.
// Every other combination changes nothing; values handed to a terminal task
// are dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "buffer/buffer.h"
#include "compute_error.h"
#include "deadline.h"
#include "result.h"

namespace bmx {

/// A map's result buffer, or a reduction's number.
using TaskOutput = std::variant<BufferRef, double>;

/// A task state; Failed carries its error.
class TaskState {
 public:
  enum class Kind : std::uint8_t { Created, RunningCompute, DeliveryQueued, Delivering, Completed, Failed, Cancelled };

  /// Any kind but Failed.
  explicit TaskState(Kind kind);
  static TaskState failed(ComputeError error);

  Kind kind() const { return kind_; }
  /// The error of a Failed state; internal failure for any other.
  const ComputeError& error() const;
  /// Completed, Failed or Cancelled.
  bool is_terminal() const;

  friend bool operator==(const TaskState&, const TaskState&) = default;

 private:
  Kind kind_;
  std::optional<ComputeError> error_;
};

/// The state's debug form: "Completed", "Failed(ChannelClosed)",
/// "Failed(ArgError(\"missing arg: y\"))".
std::string debug_text(const TaskState& state);

class Task {
 public:
  /// A task in Created, without output.
  Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  /// Posts `token` to the settle queue when the task becomes terminal. Call
  /// before any other thread can reach the task.
  void notify_on_settle(std::uint64_t token);

  void mark_running();
  /// Created -> RunningCompute; false (and no change) in any other state, so
  /// that work withdrawn before its turn never starts.
  bool start();
  void mark_delivery_queued(TaskOutput value);
  void mark_delivering();
  /// Returns whether the task took the value (it was pending).
  bool complete(TaskOutput value);
  /// Completes with the output stored by mark_delivery_queued.
  void complete_delivery();
  /// Returns whether the task took the error (it was pending).
  bool fail(ComputeError error);
  /// Cancels a pending task; false (and no change) for a terminal one.
  bool cancel();
  /// Cancels only work that has not begun (Created, or DeliveryQueued and not
  /// yet claimed); false and no change otherwise.
  bool withdraw();
  /// Takes a queued delivery for the channel that carries it; false once it
  /// was withdrawn. Lock-free, so that a channel queue may call it under its
  /// own lock; exactly one of claim_delivery and withdraw succeeds.
  bool claim_delivery();
  bool is_done() const;
  TaskState snapshot_state() const;

  /// Waits until the task is terminal or `deadline` ends the wait (empty),
  /// costing nothing while it waits. The outcome:
  /// the output of a Completed task, the error of a Failed one, or
  /// ComputeError::cancelled() for a Cancelled one.
  std::optional<Result<TaskOutput>> wait_until(const Deadline& deadline) const;

 private:
  /// Stores a terminal state; returns whether it did (the task was pending).
  bool finish_locked(TaskState state);
  /// After a transition made under mutex_ (and with it dropped): wakes the
  /// waiters and posts the settle token when `changed`.
  void settled(bool changed);

  mutable std::mutex mutex_;
  /// The parking word of waiters: 0 while pending, 1 once terminal. Written under mutex_.
  mutable std::atomic<std::uint32_t> done_{0};
  /// Guarded by mutex_.
  TaskState state_;
  /// Guarded by mutex_.
  std::optional<TaskOutput> output_;
  /// Set before the task is shared, never changed afterwards.
  std::optional<std::uint64_t> settle_token_;
  /// Who took a queued delivery: nobody yet, its channel, or a withdrawal.
  enum Hand : std::uint8_t { kUnclaimed, kClaimed, kWithdrawn };
  std::atomic<std::uint8_t> hand_{kUnclaimed};
};

using TaskRef = std::shared_ptr<Task>;

}  // namespace bmx

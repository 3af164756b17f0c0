// Task transitions, waiting and debug text.
#include "task.h"

#include <utility>

#include "internal_failure.h"
#include "parking.h"
#include "settle_queue.h"

namespace bmx {

TaskState::TaskState(Kind kind) : kind_(kind) { check(kind != Kind::Failed, "a Failed task state needs its error"); }

TaskState TaskState::failed(ComputeError error) {
  TaskState state(Kind::Created);
  state.kind_ = Kind::Failed;
  state.error_ = std::move(error);
  return state;
}

const ComputeError& TaskState::error() const {
  check(kind_ == Kind::Failed, "error() of a task state that is not Failed");
  return *error_;
}

bool TaskState::is_terminal() const {
  return kind_ == Kind::Completed || kind_ == Kind::Failed || kind_ == Kind::Cancelled;
}

std::string debug_text(const TaskState& state) {
  switch (state.kind()) {
    case TaskState::Kind::Created: return "Created";
    case TaskState::Kind::RunningCompute: return "RunningCompute";
    case TaskState::Kind::DeliveryQueued: return "DeliveryQueued";
    case TaskState::Kind::Delivering: return "Delivering";
    case TaskState::Kind::Completed: return "Completed";
    case TaskState::Kind::Failed: return "Failed(" + debug_text(state.error()) + ")";
    case TaskState::Kind::Cancelled: return "Cancelled";
  }
  return "Created";
}

Task::Task() : state_(TaskState::Kind::Created) {}

bool Task::finish_locked(TaskState state) {
  if (state_.is_terminal()) return false;
  state_ = std::move(state);
  done_.store(1, std::memory_order_release);
  return true;
}

void Task::settled(bool changed) {
  if (!changed) return;
  unpark_all(done_);
  if (settle_token_) post_settled(*settle_token_);
}

void Task::notify_on_settle(std::uint64_t token) {
  const std::scoped_lock lock(mutex_);
  settle_token_ = token;
}

bool Task::start() {
  const std::scoped_lock lock(mutex_);
  if (state_.kind() != TaskState::Kind::Created) return false;
  state_ = TaskState(TaskState::Kind::RunningCompute);
  return true;
}

bool Task::withdraw() {
  bool changed = false;
  {
    const std::scoped_lock lock(mutex_);
    const TaskState::Kind kind = state_.kind();
    std::uint8_t unclaimed = kUnclaimed;
    if (kind == TaskState::Kind::Created ||
        (kind == TaskState::Kind::DeliveryQueued && hand_.compare_exchange_strong(unclaimed, kWithdrawn))) {
      changed = finish_locked(TaskState(TaskState::Kind::Cancelled));
    }
  }
  settled(changed);
  return changed;
}

bool Task::claim_delivery() {
  std::uint8_t unclaimed = kUnclaimed;
  return hand_.compare_exchange_strong(unclaimed, kClaimed);
}

void Task::mark_running() {
  const std::scoped_lock lock(mutex_);
  state_ = TaskState(TaskState::Kind::RunningCompute);
}

void Task::mark_delivery_queued(TaskOutput value) {
  const std::scoped_lock lock(mutex_);
  if (state_.is_terminal()) return;
  output_ = std::move(value);
  state_ = TaskState(TaskState::Kind::DeliveryQueued);
}

void Task::mark_delivering() {
  const std::scoped_lock lock(mutex_);
  if (state_.kind() == TaskState::Kind::DeliveryQueued) state_ = TaskState(TaskState::Kind::Delivering);
}

bool Task::complete(TaskOutput value) {
  bool changed = false;
  {
    const std::scoped_lock lock(mutex_);
    if (!state_.is_terminal()) {
      output_ = std::move(value);
      changed = finish_locked(TaskState(TaskState::Kind::Completed));
    }
  }
  settled(changed);
  return changed;
}

void Task::complete_delivery() {
  bool changed = false;
  {
    const std::scoped_lock lock(mutex_);
    if (!state_.is_terminal()) {
      check(output_.has_value(), "complete_delivery() on a task without output");
      changed = finish_locked(TaskState(TaskState::Kind::Completed));
    }
  }
  settled(changed);
}

bool Task::fail(ComputeError error) {
  bool changed = false;
  {
    const std::scoped_lock lock(mutex_);
    changed = finish_locked(TaskState::failed(std::move(error)));
  }
  settled(changed);
  return changed;
}

bool Task::cancel() {
  bool changed = false;
  {
    const std::scoped_lock lock(mutex_);
    changed = finish_locked(TaskState(TaskState::Kind::Cancelled));
  }
  settled(changed);
  return changed;
}

bool Task::is_done() const {
  const std::scoped_lock lock(mutex_);
  return state_.is_terminal();
}

TaskState Task::snapshot_state() const {
  const std::scoped_lock lock(mutex_);
  return state_;
}

std::optional<Result<TaskOutput>> Task::wait_until(const Deadline& deadline) const {
  // The word turns 1 under the lock together with the terminal state, which
  // never changes again.
  if (!park_while(done_, 0, deadline)) return std::nullopt;
  const std::scoped_lock lock(mutex_);
  switch (state_.kind()) {
    case TaskState::Kind::Completed: return Result<TaskOutput>(*output_);
    case TaskState::Kind::Failed: return Result<TaskOutput>(state_.error());
    default: return Result<TaskOutput>(ComputeError::cancelled());
  }
}

}  // namespace bmx

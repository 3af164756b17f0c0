// Task state machine: every operation from every state, cancellation rules,
// late values, waiting and the debug text.
#include "runtime/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../channel/test_thread.h"
#include "internal_failure.h"

namespace bmx {
namespace {

using namespace bmx::testing;
using Kind = TaskState::Kind;

const BufferRef& first_output() {
  static const BufferRef buffer = tagged(1);
  return buffer;
}

// A task brought into `kind` by the operations that lead there.
TaskRef task_in(Kind kind) {
  auto task = std::make_shared<Task>();
  switch (kind) {
    case Kind::Created: break;
    case Kind::RunningCompute: task->mark_running(); break;
    case Kind::DeliveryQueued:
      task->mark_running();
      task->mark_delivery_queued(first_output());
      break;
    case Kind::Delivering:
      task->mark_running();
      task->mark_delivery_queued(first_output());
      task->mark_delivering();
      break;
    case Kind::Completed:
      task->mark_running();
      task->complete(first_output());
      break;
    case Kind::Failed:
      task->mark_running();
      task->fail(ComputeError::arg("missing arg: y"));
      break;
    case Kind::Cancelled: task->cancel(); break;
  }
  EXPECT_EQ(task->snapshot_state().kind(), kind);
  return task;
}

struct Transition {
  const char* name;
  Kind from;
  std::function<void(Task&)> operation;
  Kind to;
};

void PrintTo(const Transition& transition, std::ostream* out) { *out << transition.name; }

class TransitionTest : public ::testing::TestWithParam<Transition> {};

TEST_P(TransitionTest, LeadsToTheExpectedState) {
  const Transition& transition = GetParam();
  TaskRef task = task_in(transition.from);
  transition.operation(*task);
  EXPECT_EQ(task->snapshot_state().kind(), transition.to);
}

const auto queue_op = [](Task& task) { task.mark_delivery_queued(tagged(2)); };
const auto delivering_op = [](Task& task) { task.mark_delivering(); };
const auto complete_op = [](Task& task) { task.complete(tagged(2)); };
const auto complete_delivery_op = [](Task& task) { task.complete_delivery(); };
const auto fail_op = [](Task& task) { task.fail(ComputeError::channel_closed()); };
const auto cancel_op = [](Task& task) { (void)task.cancel(); };

INSTANTIATE_TEST_SUITE_P(
    Table, TransitionTest,
    ::testing::Values(
        Transition{"running_queue", Kind::RunningCompute, queue_op, Kind::DeliveryQueued},
        Transition{"running_complete", Kind::RunningCompute, complete_op, Kind::Completed},
        Transition{"running_fail", Kind::RunningCompute, fail_op, Kind::Failed},
        Transition{"running_cancel", Kind::RunningCompute, cancel_op, Kind::Cancelled},
        Transition{"running_delivering_ignored", Kind::RunningCompute, delivering_op, Kind::RunningCompute},
        Transition{"created_cancel", Kind::Created, cancel_op, Kind::Cancelled},
        Transition{"created_delivering_ignored", Kind::Created, delivering_op, Kind::Created},
        Transition{"queued_delivering", Kind::DeliveryQueued, delivering_op, Kind::Delivering},
        Transition{"queued_complete_delivery", Kind::DeliveryQueued, complete_delivery_op, Kind::Completed},
        Transition{"queued_fail", Kind::DeliveryQueued, fail_op, Kind::Failed},
        Transition{"queued_cancel", Kind::DeliveryQueued, cancel_op, Kind::Cancelled},
        Transition{"delivering_complete_delivery", Kind::Delivering, complete_delivery_op, Kind::Completed},
        Transition{"delivering_fail", Kind::Delivering, fail_op, Kind::Failed},
        Transition{"delivering_cancel", Kind::Delivering, cancel_op, Kind::Cancelled},
        Transition{"delivering_delivering_ignored", Kind::Delivering, delivering_op, Kind::Delivering},
        Transition{"completed_queue_ignored", Kind::Completed, queue_op, Kind::Completed},
        Transition{"completed_fail_ignored", Kind::Completed, fail_op, Kind::Completed},
        Transition{"completed_cancel_ignored", Kind::Completed, cancel_op, Kind::Completed},
        Transition{"completed_complete_delivery_ignored", Kind::Completed, complete_delivery_op, Kind::Completed},
        Transition{"failed_complete_ignored", Kind::Failed, complete_op, Kind::Failed},
        Transition{"failed_delivering_ignored", Kind::Failed, delivering_op, Kind::Failed},
        Transition{"cancelled_complete_ignored", Kind::Cancelled, complete_op, Kind::Cancelled},
        Transition{"cancelled_queue_ignored", Kind::Cancelled, queue_op, Kind::Cancelled},
        Transition{"cancelled_complete_delivery_ignored", Kind::Cancelled, complete_delivery_op, Kind::Cancelled},
        Transition{"cancelled_fail_ignored", Kind::Cancelled, fail_op, Kind::Cancelled}),
    [](const ::testing::TestParamInfo<Transition>& info) { return std::string(info.param.name); });

TEST(TaskTest, CancelSucceedsOnlyOnPendingTasks) {
  for (const Kind kind : {Kind::Created, Kind::RunningCompute, Kind::DeliveryQueued, Kind::Delivering}) {
    TaskRef task = task_in(kind);
    EXPECT_FALSE(task->is_done());
    EXPECT_TRUE(task->cancel());
    EXPECT_TRUE(task->is_done());
    EXPECT_FALSE(task->cancel());
  }
  for (const Kind kind : {Kind::Completed, Kind::Failed, Kind::Cancelled}) {
    TaskRef task = task_in(kind);
    const TaskState before = task->snapshot_state();
    EXPECT_FALSE(task->cancel());
    EXPECT_EQ(task->snapshot_state(), before);
  }
}

TEST(TaskTest, FailedStateKeepsItsErrorAgainstLateValues) {
  TaskRef task = task_in(Kind::Failed);
  task->complete(tagged(5));
  task->fail(ComputeError::channel_closed());
  EXPECT_EQ(task->snapshot_state(), TaskState::failed(ComputeError::arg("missing arg: y")));
  const std::optional<Result<TaskOutput>> outcome = task->wait_until(std::nullopt);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->error(), ComputeError::arg("missing arg: y"));
}

TEST(TaskTest, DeliveredTaskKeepsTheOutputStoredWhenQueued) {
  TaskRef task = task_in(Kind::Delivering);
  task->complete_delivery();
  const std::optional<Result<TaskOutput>> outcome = task->wait_until(after(1s));
  ASSERT_TRUE(outcome && outcome->ok());
  EXPECT_EQ(std::get<BufferRef>(outcome->value()), first_output());
}

TEST(TaskTest, WaitReportsEachTerminalOutcome) {
  auto reduced = std::make_shared<Task>();
  reduced->complete(2.5);
  EXPECT_EQ(std::get<double>(reduced->wait_until(after(1s))->value()), 2.5);

  EXPECT_EQ(task_in(Kind::Cancelled)->wait_until(after(1s))->error(), ComputeError::cancelled());
  EXPECT_EQ(task_in(Kind::Failed)->wait_until(after(1s))->error().kind(), ErrorKind::ArgError);
}

TEST(TaskTest, WaitOnAPendingTaskTimesOut) {
  for (const Kind kind : {Kind::RunningCompute, Kind::DeliveryQueued, Kind::Delivering}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(task_in(kind)->wait_until(after(30ms)).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  }
}

TEST(TaskTest, EveryWaiterIsWokenByTheTerminalTransition) {
  TaskRef task = task_in(Kind::DeliveryQueued);
  std::atomic<int> woken{0};
  std::vector<std::unique_ptr<TestThread>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(std::make_unique<TestThread>([&] {
      const std::optional<Result<TaskOutput>> outcome = task->wait_until(after(10s));
      if (outcome && outcome->ok()) ++woken;
    }));
  }
  task->mark_delivering();
  for (auto& waiter : waiters) EXPECT_FALSE(waiter->finishes_within(10ms));
  task->complete_delivery();
  for (auto& waiter : waiters) waiter->join_within(5s);
  EXPECT_EQ(woken, 4);
}

TEST(TaskTest, CompletingWithoutAStoredOutputIsAnInternalFailure) {
  TaskRef task = task_in(Kind::RunningCompute);
  EXPECT_THROW(task->complete_delivery(), InternalFailure);
}

TEST(TaskStateTest, DebugText) {
  EXPECT_EQ(debug_text(TaskState(Kind::Created)), "Created");
  EXPECT_EQ(debug_text(TaskState(Kind::RunningCompute)), "RunningCompute");
  EXPECT_EQ(debug_text(TaskState(Kind::DeliveryQueued)), "DeliveryQueued");
  EXPECT_EQ(debug_text(TaskState(Kind::Delivering)), "Delivering");
  EXPECT_EQ(debug_text(TaskState(Kind::Completed)), "Completed");
  EXPECT_EQ(debug_text(TaskState(Kind::Cancelled)), "Cancelled");
  EXPECT_EQ(debug_text(TaskState::failed(ComputeError::channel_closed())), "Failed(ChannelClosed)");
  EXPECT_EQ(debug_text(TaskState::failed(ComputeError::arg("missing arg: y"))),
            "Failed(ArgError(\"missing arg: y\"))");
}

TEST(TaskWaitTest, SignalEndsAWaitUntilSignalAndChangesNothing) {
  const TaskRef task = task_in(Kind::DeliveryQueued);
  std::optional<Result<TaskOutput>> outcome = Result<TaskOutput>(ComputeError::cancelled());
  signal_until_done([&] { outcome = task->wait_until(Deadline::until_signal()); });
  EXPECT_FALSE(outcome.has_value());
  EXPECT_EQ(task->snapshot_state().kind(), Kind::DeliveryQueued);
}

}  // namespace
}  // namespace bmx

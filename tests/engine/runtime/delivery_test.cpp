// The delivery worker: order, settlement, skips, the single named thread, and
// restarts in a forked child. All tests share the process's one worker, so
// each leaves it idle (every channel it waits on drained) when it ends.
#include "runtime/delivery.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../channel/test_thread.h"
#include "channel/channel.h"
#include "internal_failure.h"

// The fork tests start threads in the child of a multi-threaded process, which
// ThreadSanitizer refuses unless told otherwise.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }

namespace bmx {
namespace {

using namespace bmx::testing;
using Kind = TaskState::Kind;

// A task as submission leaves it just before queuing its delivery.
TaskRef queued_task(const BufferRef& output) {
  auto task = std::make_shared<Task>();
  task->mark_running();
  task->mark_delivery_queued(output);
  return task;
}

TaskRef deliver(const ChannelHandle& channel, double tag) {
  const BufferRef buffer = tagged(tag);
  TaskRef task = queued_task(buffer);
  enqueue_delivery(DeliveryJob{channel.sending_only(), task, buffer});
  return task;
}

bool reaches(const TaskRef& task, Kind kind, std::chrono::steady_clock::duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (task->snapshot_state().kind() != kind) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

double recv_tag(const ChannelHandle& channel) {
  std::optional<Result<BufferRef>> got = channel.recv_buffer(after(5s));
  EXPECT_TRUE(got && got->ok());
  return got && got->ok() ? tag_of(got->value()) : -1;
}

TEST(DeliveryTest, JobsArriveInPushOrderAndCompleteTheirTasks) {
  const ChannelHandle a = make_channel(64);
  const ChannelHandle b = make_channel(64);
  std::vector<TaskRef> tasks;
  for (int i = 0; i < 20; ++i) tasks.push_back(deliver(i % 2 == 0 ? a : b, i));
  for (int i = 0; i < 20; i += 2) EXPECT_EQ(recv_tag(a), i);
  for (int i = 1; i < 20; i += 2) EXPECT_EQ(recv_tag(b), i);
  for (const TaskRef& task : tasks) {
    const std::optional<Result<TaskOutput>> outcome = task->wait_until(after(5s));
    ASSERT_TRUE(outcome && outcome->ok());
  }
}

TEST(DeliveryTest, DeliveredBufferIsTheTasksOutput) {
  const ChannelHandle channel = make_channel(1);
  const TaskRef task = deliver(channel, 4);
  std::optional<Result<BufferRef>> got = channel.recv_buffer(after(5s));
  ASSERT_TRUE(got && got->ok());
  const std::optional<Result<TaskOutput>> outcome = task->wait_until(after(5s));
  ASSERT_TRUE(outcome && outcome->ok());
  EXPECT_EQ(std::get<BufferRef>(outcome->value()), got->value());
}

TEST(DeliveryTest, ClosedChannelFailsTheTaskAndReceivesNothing) {
  const ChannelHandle channel = make_channel(4);
  ASSERT_TRUE(channel.close());
  const TaskRef task = deliver(channel, 1);
  ASSERT_TRUE(task->wait_until(after(5s)).has_value());
  EXPECT_EQ(debug_text(task->snapshot_state()), "Failed(ChannelClosed)");
  std::optional<Result<BufferRef>> got = channel.recv_buffer(after(1s));
  ASSERT_TRUE(got.has_value());
  EXPECT_FALSE(got->ok());
  EXPECT_EQ(channel.queue().try_recv().message, std::nullopt);
}

// A channel whose every handle is gone: a delivery that would wait fails and
// the worker moves on; one into a free slot still completes.
TEST(DeliveryTest, AbandonedChannelFailsOnlyTheDeliveriesThatWouldWait) {
  for (const std::uint64_t capacity : {0, 1}) {
    std::optional<ChannelHandle> abandoned = make_channel(capacity);
    const ChannelHandle sending = abandoned->sending_only();
    abandoned.reset();
    std::vector<TaskRef> tasks;
    for (double tag : {1.0, 2.0}) {
      const BufferRef buffer = tagged(tag);
      tasks.push_back(queued_task(buffer));
      enqueue_delivery(DeliveryJob{sending, tasks.back(), buffer});
    }
    for (const TaskRef& task : tasks) ASSERT_TRUE(task->wait_until(after(5s)).has_value());
    EXPECT_EQ(debug_text(tasks[0]->snapshot_state()), capacity == 0 ? "Failed(ChannelClosed)" : "Completed");
    EXPECT_EQ(debug_text(tasks[1]->snapshot_state()), "Failed(ChannelClosed)");
  }
}

// The worker already waits on a full channel when its last handle goes.
TEST(DeliveryTest, LastHandleGoneReleasesAWaitingDelivery) {
  std::optional<ChannelHandle> channel = make_channel(1);
  const TaskRef first = deliver(*channel, 1);
  const TaskRef waiting = deliver(*channel, 2);
  ASSERT_TRUE(reaches(waiting, Kind::Delivering, 5s));
  channel.reset();
  ASSERT_TRUE(waiting->wait_until(after(5s)).has_value());
  EXPECT_EQ(debug_text(waiting->snapshot_state()), "Failed(ChannelClosed)");
  EXPECT_EQ(debug_text(first->snapshot_state()), "Completed");
  const ChannelHandle other = make_channel(1);
  const TaskRef later = deliver(other, 3);
  EXPECT_EQ(recv_tag(other), 3);
  ASSERT_TRUE(later->wait_until(after(5s)).has_value());
  EXPECT_EQ(debug_text(later->snapshot_state()), "Completed");
}

// A capacity-1 channel nobody reads: the first delivery completes, the second
// keeps the worker (and its task) in Delivering until a receive makes room,
// and every later delivery, to any channel, waits behind it.
TEST(DeliveryTest, FullChannelHoldsUpEveryLaterJob) {
  const ChannelHandle a = make_channel(1);
  const ChannelHandle b = make_channel(4);
  const TaskRef first = deliver(a, 1);
  ASSERT_TRUE(first->wait_until(after(5s)).has_value());
  const TaskRef second = deliver(a, 2);
  const TaskRef other = deliver(b, 3);
  EXPECT_TRUE(reaches(second, Kind::Delivering, 5s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second->snapshot_state().kind(), Kind::Delivering);
  EXPECT_EQ(other->snapshot_state().kind(), Kind::DeliveryQueued);
  EXPECT_EQ(b.queue().try_recv().status, RecvStatus::Empty);
  EXPECT_EQ(recv_tag(a), 1);
  EXPECT_EQ(recv_tag(b), 3);
  EXPECT_EQ(recv_tag(a), 2);
  EXPECT_TRUE(second->wait_until(after(5s)).has_value());
  EXPECT_TRUE(other->wait_until(after(5s)).has_value());
}

TEST(DeliveryTest, TaskCancelledWhileQueuedIsSkipped) {
  const ChannelHandle blocker = make_channel(1);
  const ChannelHandle target = make_channel(4);
  ASSERT_TRUE(blocker.send_buffer(tagged(0), after(1s))->ok());
  const TaskRef holding = deliver(blocker, 1);
  const TaskRef skipped = deliver(target, 2);
  const TaskRef after_it = deliver(target, 3);
  ASSERT_TRUE(reaches(holding, Kind::Delivering, 5s));
  EXPECT_TRUE(skipped->cancel());
  EXPECT_EQ(recv_tag(blocker), 0);
  EXPECT_EQ(recv_tag(blocker), 1);
  EXPECT_EQ(recv_tag(target), 3);
  EXPECT_EQ(skipped->snapshot_state().kind(), Kind::Cancelled);
  EXPECT_EQ(target.queue().try_recv().status, RecvStatus::Empty);
}

TEST(DeliveryTest, TaskCancelledWhileDeliveringStaysCancelledButArrives) {
  const ChannelHandle channel = make_channel(1);
  ASSERT_TRUE(channel.send_buffer(tagged(0), after(1s))->ok());
  const TaskRef task = deliver(channel, 1);
  ASSERT_TRUE(reaches(task, Kind::Delivering, 5s));
  EXPECT_TRUE(task->cancel());
  EXPECT_EQ(recv_tag(channel), 0);
  EXPECT_EQ(recv_tag(channel), 1);
  EXPECT_EQ(task->snapshot_state().kind(), Kind::Cancelled);
}

TEST(DeliveryTest, RendezvousDeliveryWaitsForTheReceiver) {
  const ChannelHandle channel = make_channel(0);
  const TaskRef task = deliver(channel, 6);
  EXPECT_TRUE(reaches(task, Kind::Delivering, 5s));
  EXPECT_FALSE(task->is_done());
  EXPECT_EQ(recv_tag(channel), 6);
  EXPECT_TRUE(task->wait_until(after(5s)).has_value());
  EXPECT_EQ(task->snapshot_state().kind(), Kind::Completed);
}

int threads_named(const std::string& name) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string text;
    std::getline(comm, text);
    if (text == name) ++count;
  }
  return count;
}

TEST(DeliveryTest, OneThreadNamedDeliveryWorker) {
  const ChannelHandle channel = make_channel(8);
  for (int i = 0; i < 3; ++i) {
    const TaskRef task = deliver(channel, i);
    ASSERT_TRUE(task->wait_until(after(5s)).has_value());
  }
  EXPECT_EQ(threads_named("delivery-worker"), 1);
}

// Runs `child` in a forked process and expects it to exit with 0 within 20 s.
void expect_child_succeeds(const std::function<int()>& child) {
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    int code = 99;
    try {
      code = child();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  const auto until = std::chrono::steady_clock::now() + 20s;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "child did not finish in time";
    }
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DeliveryForkTest, ChildStartsItsOwnWorker) {
  const ChannelHandle before_fork = make_channel(1);
  ASSERT_TRUE(deliver(before_fork, 1)->wait_until(after(5s)).has_value());
  ASSERT_EQ(recv_tag(before_fork), 1);
  expect_child_succeeds([] {
    if (threads_named("delivery-worker") != 0) return 1;
    const ChannelHandle channel = make_channel(0);
    const TaskRef task = deliver(channel, 7);
    std::optional<Result<BufferRef>> got = channel.recv_buffer(after(10s));
    if (!got || !got->ok() || tag_of(got->value()) != 7) return 2;
    if (!task->wait_until(after(10s)).has_value()) return 3;
    return threads_named("delivery-worker") == 1 ? 0 : 4;
  });
}

// In a child without a worker: the worker's start fails while the address
// space has no room for its stack, is reported, and succeeds on the next
// delivery once there is room. Returns 0 on success.
int start_fails_then_retries() {
  rlimit original{};
  if (getrlimit(RLIMIT_AS, &original) != 0) return 1;
  std::ifstream statm("/proc/self/statm");
  unsigned long pages = 0;
  statm >> pages;
  const ChannelHandle channel = make_channel(4);
  const BufferRef buffer = tagged(1);
  DeliveryJob job{channel.sending_only(), queued_task(buffer), buffer};
  rlimit tight = original;
  tight.rlim_cur = pages * 4096 + (4ul << 20);
  if (setrlimit(RLIMIT_AS, &tight) != 0) return 2;
  std::string message;
  try {
    enqueue_delivery(std::move(job));
  } catch (const InternalFailure& failure) {
    message = failure.message();
  }
  if (setrlimit(RLIMIT_AS, &original) != 0) return 3;
  if (message.rfind("failed to spawn delivery worker thread: ", 0) != 0) return 4;
  if (message.find("(os error ") == std::string::npos) return 5;
  const TaskRef second = deliver(channel, 2);
  std::optional<Result<BufferRef>> got = channel.recv_buffer(after(10s));
  if (!got || !got->ok() || tag_of(got->value()) != 2) return 6;
  return second->wait_until(after(10s)).has_value() ? 0 : 7;
}

TEST(DeliveryForkTest, FailedStartIsReportedAndRetried) {
  expect_child_succeeds([] {
    // The child keeps the stacks of the parent's threads for reuse; occupy
    // them, so that starting the worker needs fresh address space.
    std::atomic<bool> release{false};
    std::vector<std::thread> occupants;
    for (int i = 0; i < 16; ++i) {
      occupants.emplace_back([&] {
        while (!release) std::this_thread::sleep_for(1ms);
      });
    }
    const int code = start_fails_then_retries();
    release = true;
    for (std::thread& occupant : occupants) occupant.join();
    return code;
  });
}

}  // namespace
}  // namespace bmx

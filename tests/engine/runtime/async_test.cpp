// Work that returns at once: which states withdraw and start act on, the
// settle queue's one post per settled task, the runner skipping withdrawn
// work, and the receive agent handing each message to exactly one receive.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "../channel/test_thread.h"
#include "parking.h"
#include "runtime/receive_agent.h"
#include "runtime/settle_queue.h"
#include "runtime/task.h"
#include "runtime/task_runner.h"

namespace bmx {
namespace {

using namespace bmx::testing;
using Kind = TaskState::Kind;

/// Every token posted so far (none when the queue is empty).
std::vector<std::uint64_t> drain() { return take_settled(Deadline::expired()).value_or(std::vector<std::uint64_t>{}); }

/// The tokens posted until `count` have come, waiting at most 10 s.
std::vector<std::uint64_t> take(std::size_t count) {
  std::vector<std::uint64_t> all;
  while (all.size() < count) {
    const std::optional<std::vector<std::uint64_t>> batch = take_settled(after(10s));
    if (!batch) break;
    all.insert(all.end(), batch->begin(), batch->end());
  }
  return all;
}

TaskRef task_with_token(std::uint64_t token) {
  auto task = std::make_shared<Task>();
  task->notify_on_settle(token);
  return task;
}

TEST(Withdraw, CancelsOnlyWorkThatHasNotBegun) {
  drain();
  const auto created = task_with_token(1);
  const auto queued = task_with_token(2);
  queued->mark_running();
  queued->mark_delivery_queued(tagged(1));
  const auto running = task_with_token(3);
  ASSERT_TRUE(running->start());
  const auto delivering = task_with_token(4);
  delivering->mark_running();
  delivering->mark_delivery_queued(tagged(1));
  delivering->mark_delivering();

  EXPECT_TRUE(created->withdraw());
  EXPECT_TRUE(queued->withdraw());
  EXPECT_FALSE(running->withdraw());
  EXPECT_FALSE(delivering->withdraw());
  EXPECT_FALSE(created->withdraw());
  EXPECT_FALSE(created->start());
  EXPECT_EQ(created->snapshot_state().kind(), Kind::Cancelled);
  EXPECT_EQ(running->snapshot_state().kind(), Kind::RunningCompute);
  EXPECT_EQ(drain(), (std::vector<std::uint64_t>{1, 2}));
}

TEST(SettleQueue, EachTaskPostsOnceOnItsTerminalTransition) {
  drain();
  const auto completed = task_with_token(10);
  EXPECT_TRUE(completed->complete(tagged(1)));
  EXPECT_FALSE(completed->complete(tagged(2)));
  EXPECT_FALSE(completed->fail(ComputeError::internal("late")));
  const auto failed = task_with_token(11);
  EXPECT_TRUE(failed->fail(ComputeError::channel_closed()));
  const auto cancelled = task_with_token(12);
  EXPECT_TRUE(cancelled->cancel());
  EXPECT_FALSE(cancelled->cancel());
  // A task without a token posts nothing.
  EXPECT_TRUE(std::make_shared<Task>()->complete(tagged(3)));
  EXPECT_EQ(drain(), (std::vector<std::uint64_t>{10, 11, 12}));
  EXPECT_FALSE(take_settled(Deadline::expired()).has_value());
}

TEST(SettleQueue, WakesAWaitingConsumer) {
  drain();
  std::optional<std::vector<std::uint64_t>> got;
  TestThread consumer([&] { got = take_settled(after(10s)); });
  task_with_token(20)->cancel();
  consumer.join_within(10s);
  EXPECT_EQ(got, (std::vector<std::uint64_t>{20}));
}

TEST(TaskRunner, RunsInOrderAndSkipsWithdrawnWork) {
  drain();
  std::atomic<std::uint32_t> started{0};
  std::atomic<std::uint32_t> release{0};
  std::vector<int> ran;
  const auto first = task_with_token(30);
  const auto second = task_with_token(31);
  const auto third = task_with_token(32);
  // The first body holds the runner until released, so the second is
  // certainly still waiting for its turn when it is withdrawn.
  run_on_runner(first, [&] {
    started.store(1);
    unpark_all(started);
    park_while(release, 0, after(10s));
    ran.push_back(1);
    first->complete(tagged(1));
  });
  run_on_runner(second, [&] { ran.push_back(2); });
  run_on_runner(third, [&] {
    ran.push_back(3);
    throw std::runtime_error("boom");
  });
  EXPECT_TRUE(second->withdraw());
  ASSERT_TRUE(park_while(started, 0, after(10s)));
  EXPECT_FALSE(first->withdraw());
  release.store(1);
  unpark_all(release);
  const std::vector<std::uint64_t> tokens = take(3);
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
  EXPECT_EQ(third->snapshot_state(), TaskState::failed(ComputeError::internal("boom")));
  EXPECT_EQ(tokens.size(), 3u);
}

TEST(ReceiveAgent, EveryMessageReachesExactlyOneReceive) {
  drain();
  const ChannelHandle channel = make_channel(4);
  // A message already there is the outcome at once.
  ASSERT_TRUE(channel.send_buffer(tagged(1), Deadline::expired()).has_value());
  const std::optional<Result<BufferRef>> now = receive_async(task_with_token(40), channel);
  ASSERT_TRUE(now && now->ok());
  EXPECT_EQ(tag_of(now->value()), 1.0);

  // Waiting receives complete in arrival order.
  const auto a = task_with_token(41);
  const auto b = task_with_token(42);
  EXPECT_FALSE(receive_async(a, channel).has_value());
  EXPECT_FALSE(receive_async(b, channel).has_value());
  ASSERT_TRUE(channel.send_buffer(tagged(2), Deadline::expired()).has_value());
  ASSERT_TRUE(channel.send_buffer(tagged(3), Deadline::expired()).has_value());
  EXPECT_EQ(take(2).size(), 2u);
  EXPECT_EQ(tag_of(std::get<BufferRef>(a->wait_until(std::nullopt)->value())), 2.0);
  EXPECT_EQ(tag_of(std::get<BufferRef>(b->wait_until(std::nullopt)->value())), 3.0);

  // A withdrawn receive leaves its message to the next one, wherever the
  // agent was when the message came.
  const auto withdrawn = task_with_token(43);
  EXPECT_FALSE(receive_async(withdrawn, channel).has_value());
  EXPECT_TRUE(withdraw_receive(withdrawn));
  ASSERT_TRUE(channel.send_buffer(tagged(4), Deadline::expired()).has_value());
  const auto next = task_with_token(44);
  std::optional<Result<BufferRef>> got = receive_async(next, channel);
  if (!got) got = Result<BufferRef>(std::get<BufferRef>(next->wait_until(after(10s))->value()));
  EXPECT_EQ(tag_of(got->value()), 4.0);

  // Given back, a buffer comes before what is queued; closing fails the rest.
  channel.give_back(tagged(5));
  ASSERT_TRUE(channel.send_buffer(tagged(6), Deadline::expired()).has_value());
  EXPECT_EQ(tag_of(receive_async(task_with_token(45), channel)->value()), 5.0);
  EXPECT_EQ(tag_of(receive_async(task_with_token(46), channel)->value()), 6.0);
  const auto closed = task_with_token(47);
  EXPECT_FALSE(receive_async(closed, channel).has_value());
  channel.close();
  EXPECT_EQ(closed->wait_until(after(10s))->error(), ComputeError::channel_closed());
}

}  // namespace
}  // namespace bmx

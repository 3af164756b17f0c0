// The channel queue: order, capacity, rendezvous hand-over, receivers gone,
// deadlines and slot allocation. Several cases follow the ideas of Go's
// chan_test.go and crossbeam-channel's array.rs/zero.rs tests (noted per test).
#include "channel/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <random>
#include <vector>

#include "test_thread.h"

// Let the sanitizers' allocators answer an impossible allocation with null, as
// the system allocator does, instead of reporting it and stopping.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace bmx {
namespace {

using namespace bmx::testing;

class AnyCapacityTest : public ::testing::TestWithParam<std::uint64_t> {};

INSTANTIATE_TEST_SUITE_P(Capacities, AnyCapacityTest, ::testing::Values(0, 1, 2, 8, 1000));

// Go chan_test.go TestChan "Ensure that receive from empty chan blocks" and FIFO.
TEST_P(AnyCapacityTest, DeliversInOrderBetweenThreads) {
  ChannelHandle q = make_channel(GetParam());
  constexpr int kCount = 2000;
  TestThread producer([&] {
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(q.queue().send(tagged(i), after(10s)).status, SendStatus::Sent);
  });
  for (int i = 0; i < kCount; ++i) {
    RecvResult got = q.queue().recv(after(10s));
    ASSERT_EQ(got.status, RecvStatus::Message);
    ASSERT_TRUE(got.message.has_value());
    ASSERT_EQ(tag_of(*got.message), i);
  }
  producer.join_within(10s);
}

TEST_P(AnyCapacityTest, EmptyQueueHasNothingToTryAndTimesOut) {
  ChannelHandle q = make_channel(GetParam());
  EXPECT_EQ(q.queue().try_recv().status, RecvStatus::Empty);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(q.queue().recv(after(50ms)).status, RecvStatus::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

// With no receiver left, sends fill the free slots (a sender cannot tell),
// and the first send that would wait fails at once.
TEST_P(AnyCapacityTest, LastReceiverGoneFailsSendsThatWouldWait) {
  std::optional<ChannelHandle> q = make_channel(GetParam());
  const ChannelHandle sending = q->sending_only();
  ChannelQueue& sender = sending.queue();
  q.reset();
  const BufferRef buffer = tagged(7);
  for (std::uint64_t k = 0; k < GetParam(); ++k) EXPECT_EQ(sender.send(buffer, std::nullopt).status, SendStatus::Sent);
  SendResult sent = sender.send(buffer, std::nullopt);
  EXPECT_EQ(sent.status, SendStatus::Disconnected);
  ASSERT_TRUE(sent.message.has_value());
  EXPECT_EQ(*sent.message, buffer);
  EXPECT_EQ(sender.try_send(buffer).status, SendStatus::Disconnected);
}

TEST_P(AnyCapacityTest, ACopyOfTheReceiverKeepsTheQueueReceivable) {
  std::optional<ChannelHandle> q = make_channel(GetParam());
  const ChannelHandle sending = q->sending_only();
  ChannelQueue& sender = sending.queue();
  const ChannelHandle spare = *q;
  q.reset();
  for (std::uint64_t k = 0; k < GetParam(); ++k) EXPECT_EQ(sender.try_send(tagged(1)).status, SendStatus::Sent);
  EXPECT_EQ(sender.try_send(tagged(2)).status, SendStatus::Full);
  EXPECT_EQ(sender.send(tagged(2), after(20ms)).status, SendStatus::TimedOut);
}

// Go TestChan "Ensure that send to full chan blocks" for buffered channels.
TEST(BoundedRingTest, SendsReturnUntilFullThenWaitForARecv) {
  ChannelHandle q = make_channel(2);
  EXPECT_EQ(q.queue().send(tagged(1), after(0s)).status, SendStatus::Sent);
  EXPECT_EQ(q.queue().send(tagged(2), after(0s)).status, SendStatus::Sent);
  EXPECT_EQ(q.queue().try_send(tagged(9)).status, SendStatus::Full);
  std::atomic<bool> sent{false};
  TestThread third([&] { sent = q.queue().send(tagged(3), after(10s)).status == SendStatus::Sent; });
  EXPECT_FALSE(third.finishes_within(100ms));
  EXPECT_EQ(tag_of(*q.queue().recv(after(1s)).message), 1);
  third.join_within(5s);
  EXPECT_TRUE(sent);
  EXPECT_EQ(tag_of(*q.queue().recv(after(1s)).message), 2);
  EXPECT_EQ(tag_of(*q.queue().recv(after(1s)).message), 3);
}

TEST(BoundedRingTest, TimedOutSendHandsTheMessageBackAndQueuesNothing) {
  ChannelHandle q = make_channel(1);
  ASSERT_EQ(q.queue().try_send(tagged(1)).status, SendStatus::Sent);
  const BufferRef late = tagged(2);
  SendResult sent = q.queue().send(late, after(30ms));
  EXPECT_EQ(sent.status, SendStatus::TimedOut);
  EXPECT_EQ(*sent.message, late);
  EXPECT_EQ(tag_of(*q.queue().try_recv().message), 1);
  EXPECT_EQ(q.queue().try_recv().status, RecvStatus::Empty);
}

TEST(BoundedRingTest, LastReceiverGoneWakesWaitingSender) {
  std::optional<ChannelHandle> q = make_channel(1);
  const ChannelHandle sending = q->sending_only();
  ChannelQueue& sender = sending.queue();
  ASSERT_EQ(sender.try_send(tagged(1)).status, SendStatus::Sent);
  std::atomic<int> outcome{-1};
  TestThread waiting([&] { outcome = static_cast<int>(sender.send(tagged(2), after(10s)).status); });
  EXPECT_FALSE(waiting.finishes_within(50ms));
  q.reset();
  waiting.join_within(5s);
  EXPECT_EQ(outcome, static_cast<int>(SendStatus::Disconnected));
}

// Go TestChan for unbuffered channels: the pair completes together.
TEST(RendezvousTest, SendWaitsForAReceiverAndCompletesWithIt) {
  ChannelHandle q = make_channel(0);
  EXPECT_EQ(q.queue().try_send(tagged(1)).status, SendStatus::Full);
  std::atomic<bool> sent{false};
  TestThread sender([&] { sent = q.queue().send(tagged(5), after(10s)).status == SendStatus::Sent; });
  EXPECT_FALSE(sender.finishes_within(100ms));
  RecvResult got = q.queue().recv(after(5s));
  ASSERT_EQ(got.status, RecvStatus::Message);
  EXPECT_EQ(tag_of(*got.message), 5);
  sender.join_within(5s);
  EXPECT_TRUE(sent);
  EXPECT_EQ(q.queue().try_recv().status, RecvStatus::Empty);
}

// crossbeam zero.rs "try_send": succeeds only while a receiver waits.
TEST(RendezvousTest, TrySendSucceedsOnlyWhileAReceiverWaits) {
  ChannelHandle q = make_channel(0);
  std::atomic<double> received{-1};
  TestThread receiver([&] { received = tag_of(*q.queue().recv(after(10s)).message); });
  const auto limit = std::chrono::steady_clock::now() + 5s;
  while (q.queue().try_send(tagged(3)).status == SendStatus::Full) {
    ASSERT_LT(std::chrono::steady_clock::now(), limit);
    std::this_thread::sleep_for(1ms);
  }
  receiver.join_within(5s);
  EXPECT_EQ(received, 3);
}

TEST(RendezvousTest, TimedOutSendIsNotReceivedLater) {
  ChannelHandle q = make_channel(0);
  const BufferRef offered = tagged(1);
  SendResult sent = q.queue().send(offered, after(30ms));
  EXPECT_EQ(sent.status, SendStatus::TimedOut);
  EXPECT_EQ(*sent.message, offered);
  EXPECT_EQ(q.queue().try_recv().status, RecvStatus::Empty);
}

TEST(RendezvousTest, LastReceiverGoneWakesWaitingSenderWithItsMessage) {
  std::optional<ChannelHandle> q = make_channel(0);
  const ChannelHandle sending = q->sending_only();
  ChannelQueue& sender = sending.queue();
  const BufferRef offered = tagged(4);
  SendResult outcome{SendStatus::Sent, std::nullopt};
  TestThread waiting([&] { outcome = sender.send(offered, after(10s)); });
  EXPECT_FALSE(waiting.finishes_within(50ms));
  q.reset();
  waiting.join_within(5s);
  EXPECT_EQ(outcome.status, SendStatus::Disconnected);
  EXPECT_EQ(*outcome.message, offered);
}

// A sender whose deadline passes must withdraw atomically: either the receiver
// got the message and the send reports Sent, or the send reports TimedOut and
// no receiver ever sees that message. Both sides use tiny random deadlines.
TEST(RendezvousTest, WithdrawRacesNeverLoseOrDuplicate) {
  ChannelHandle q = make_channel(0);
  constexpr int kRounds = 3000;
  std::vector<int> sent_flags(kRounds, 0);
  std::vector<int> received_flags(kRounds, 0);
  TestThread receiver([&] {
    std::mt19937 rng(7);
    int remaining_misses = 200000;
    for (;;) {
      // Arrive late now and then, so that both outcomes of the race occur.
      const auto idle_until = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % 150);
      while (std::chrono::steady_clock::now() < idle_until) {
      }
      RecvResult got = q.queue().recv(after(std::chrono::microseconds(rng() % 300)));
      if (got.status == RecvStatus::Message) {
        const int tag = static_cast<int>(tag_of(*got.message));
        if (tag < 0) return;
        received_flags[tag] += 1;
      } else if (--remaining_misses == 0) {
        return;
      }
    }
  });
  std::mt19937 rng(11);
  for (int i = 0; i < kRounds; ++i) {
    const SendResult sent = q.queue().send(tagged(i), after(std::chrono::microseconds(rng() % 100)));
    ASSERT_NE(sent.status, SendStatus::Disconnected);
    if (sent.status == SendStatus::Sent) sent_flags[i] = 1;
  }
  ASSERT_EQ(q.queue().send(tagged(-1), after(10s)).status, SendStatus::Sent);
  receiver.join_within(10s);
  int delivered = 0;
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(sent_flags[i], received_flags[i]) << "message " << i;
    delivered += sent_flags[i];
  }
  EXPECT_GT(delivered, 0);
  EXPECT_LT(delivered, kRounds);
}

TEST(CapacityTest, UnreservableCapacityFailsWithoutEndingTheProcess) {
  EXPECT_FALSE(ChannelHandle::create(std::uint64_t{1} << 62).has_value());
  EXPECT_FALSE(ChannelHandle::create(UINT64_MAX).has_value());
  EXPECT_FALSE(ChannelHandle::create(std::uint64_t{1} << 44).has_value());
}

std::int64_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0;
  std::int64_t resident = 0;
  statm >> size >> resident;
  return resident * 4096;
}

TEST(CapacityTest, LargeCapacityTakesMemoryOnlyForUsedSlots) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer allocators touch shadow memory for large blocks";
#endif
  const std::int64_t before = resident_bytes();
  ChannelHandle q = make_channel(std::uint64_t{1} << 26);  // 1 GiB of slots
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(q.queue().try_send(tagged(i)).status, SendStatus::Sent);
  EXPECT_LT(resident_bytes() - before, std::int64_t{64} << 20);
  EXPECT_EQ(tag_of(*q.queue().try_recv().message), 0);
}

}  // namespace
}  // namespace bmx

// Channel semantics over the queue: the close protocol, the rule that a closed
// and drained channel reports ChannelClosed instead of waiting, and sends
// against the `closed` flag. The close cases follow Go's chan_test.go ideas
// (TestClosedChan-style: values sent before close, then the closed report).
#include "channel/channel.h"
#include "channel/select.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "test_thread.h"

namespace bmx {
namespace {

using namespace bmx::testing;

bool is_channel_closed(const std::optional<Result<BufferRef>>& got) {
  return got && !got->ok() && got->error() == ComputeError::channel_closed();
}

class CloseTest : public ::testing::TestWithParam<std::uint64_t> {};

INSTANTIATE_TEST_SUITE_P(Capacities, CloseTest, ::testing::Values(0, 1, 3, 64));

TEST_P(CloseTest, EarlierBuffersArriveInOrderThenChannelClosedForEveryone) {
  const ChannelHandle channel = make_channel(GetParam());
  constexpr int kCount = 20;
  TestThread producer([&] {
    for (int i = 0; i < kCount; ++i) {
      const std::optional<Result<void>> sent = channel.send_buffer(tagged(i), after(10s));
      ASSERT_TRUE(sent && sent->ok());
    }
    EXPECT_TRUE(channel.close());
  });
  for (int i = 0; i < kCount; ++i) {
    std::optional<Result<BufferRef>> got = channel.recv_buffer(after(10s));
    ASSERT_TRUE(got && got->ok());
    EXPECT_EQ(tag_of(got->value()), i);
  }
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(10s))));
  // The marker is gone now; later receives still report the close at once.
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(10s))));
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(std::nullopt)));
  producer.join_within(10s);
}

TEST_P(CloseTest, CloseIsIdempotentAndRefusesLaterSends) {
  const ChannelHandle channel = make_channel(GetParam());
  EXPECT_FALSE(channel.is_closed());
  EXPECT_TRUE(channel.close());
  EXPECT_FALSE(channel.close());
  EXPECT_TRUE(channel.is_closed());
  const std::optional<Result<void>> sent = channel.send_buffer(tagged(1), after(1s));
  ASSERT_TRUE(sent.has_value());
  ASSERT_FALSE(sent->ok());
  EXPECT_EQ(sent->error(), ComputeError::channel_closed());
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
}

// Two receivers wait on an empty channel and it is closed: one takes the
// marker, and the other, already parked, must be woken and report the close
// too instead of waiting for a marker that will never come.
TEST_P(CloseTest, EveryWaitingReceiverIsReleasedByClose) {
  const ChannelHandle channel = make_channel(GetParam());
  std::atomic<int> closed_reports{0};
  std::vector<std::unique_ptr<TestThread>> receivers;
  for (int i = 0; i < 4; ++i) {
    receivers.push_back(std::make_unique<TestThread>([&] {
      if (is_channel_closed(channel.recv_buffer(after(10s)))) ++closed_reports;
    }));
  }
  for (auto& receiver : receivers) EXPECT_FALSE(receiver->finishes_within(20ms));
  EXPECT_TRUE(channel.close());
  for (auto& receiver : receivers) receiver->join_within(5s);
  EXPECT_EQ(closed_reports, 4);
}

// A send waiting for room when the channel closes must end, and end refused:
// a value reported sent that no receive ever sees would be lost silently.
TEST_P(CloseTest, ASendWaitingForRoomIsRefusedByCloseAndLeavesNothing) {
  const ChannelHandle channel = make_channel(GetParam());
  for (std::uint64_t k = 0; k < GetParam(); ++k) ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  std::optional<Result<void>> outcome;
  TestThread waiting([&] { outcome = channel.send_buffer(tagged(2), std::nullopt); });
  EXPECT_FALSE(waiting.finishes_within(20ms));
  EXPECT_TRUE(channel.close());
  waiting.join_within(5s);
  ASSERT_TRUE(outcome.has_value());
  ASSERT_FALSE(outcome->ok());
  EXPECT_EQ(outcome->error(), ComputeError::channel_closed());
  for (std::uint64_t k = 0; k < GetParam(); ++k) EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
  EXPECT_EQ(channel.buffered(), 0u);
}

// A receiver that took a value it cannot use gives it back: it comes first,
// ahead of the queued values and of the close marker, to any kind of receive.
TEST_P(CloseTest, AGivenBackValueComesFirstToEveryKindOfReceive) {
  const ChannelHandle channel = make_channel(GetParam());
  if (GetParam() > 0) {
    ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  }
  channel.give_back(tagged(7));
  EXPECT_EQ(channel.buffered(), GetParam() > 0 ? 2u : 1u);
  EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 7);
  if (GetParam() > 0) {
    EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
  }

  ASSERT_TRUE(channel.close());
  channel.give_back(tagged(8));
  const ChannelHandle cases[] = {channel};
  const SelectResult chosen = select(cases, after(1s));
  ASSERT_EQ(chosen.status, SelectStatus::Message);
  ASSERT_TRUE(chosen.message.has_value());
  EXPECT_EQ(tag_of(*chosen.message), 8);
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
}

// A receiver already waiting is woken by a value given back.
TEST_P(CloseTest, AGivenBackValueWakesAWaitingReceiver) {
  const ChannelHandle channel = make_channel(GetParam());
  std::optional<Result<BufferRef>> got;
  TestThread receiver([&] { got = channel.recv_buffer(after(10s)); });
  EXPECT_FALSE(receiver.finishes_within(20ms));
  channel.give_back(tagged(9));
  receiver.join_within(5s);
  ASSERT_TRUE(got && got->ok());
  EXPECT_EQ(tag_of(got->value()), 9);
}

// The owner of a parked send, as the runtime's deliveries are: one claim
// decides between the queue and a withdrawal.
class RecordingClaim final : public SendClaim {
 public:
  bool claim() override { return take(kClaimed); }
  void finish(SendStatus status) override { told.push_back(status); }
  bool withdraw() { return take(kWithdrawn); }

  std::vector<SendStatus> told;

 private:
  static constexpr int kClaimed = 1;
  static constexpr int kWithdrawn = 2;
  bool take(int by) {
    int unclaimed = 0;
    return state_.compare_exchange_strong(unclaimed, by);
  }
  std::atomic<int> state_{0};
};

// A full channel (at capacity 0: no receiver) parks an asynchronous send; the
// receive that makes room moves its value in, and only then is it told Sent.
TEST_P(CloseTest, AParkedSendLandsWhenAReceiveMakesRoom) {
  const ChannelHandle channel = make_channel(GetParam());
  for (std::uint64_t k = 0; k < GetParam(); ++k) ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  const auto owner = std::make_shared<RecordingClaim>();
  EXPECT_EQ(channel.queue().send_or_park(tagged(2), owner), SendStatus::Parked);
  EXPECT_TRUE(owner->told.empty());
  // At capacity 0 the receive that makes room is the one that takes it.
  if (GetParam() > 0) {
    EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
    EXPECT_EQ(owner->told, std::vector<SendStatus>{SendStatus::Sent});
    for (std::uint64_t k = 1; k < GetParam(); ++k) EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
  }
  EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 2);
  EXPECT_EQ(owner->told, std::vector<SendStatus>{SendStatus::Sent});
  EXPECT_FALSE(owner->withdraw());
}

// Closing tells every parked send Closed, and none of their values is queued;
// one withdrawn before is dropped without a word.
TEST_P(CloseTest, CloseRefusesParkedSendsAndSkipsWithdrawnOnes) {
  const ChannelHandle channel = make_channel(GetParam());
  for (std::uint64_t k = 0; k < GetParam(); ++k) ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  const auto withdrawn = std::make_shared<RecordingClaim>();
  const auto refused = std::make_shared<RecordingClaim>();
  ASSERT_EQ(channel.queue().send_or_park(tagged(2), withdrawn), SendStatus::Parked);
  ASSERT_EQ(channel.queue().send_or_park(tagged(3), refused), SendStatus::Parked);
  ASSERT_TRUE(withdrawn->withdraw());
  EXPECT_TRUE(channel.close());
  EXPECT_TRUE(withdrawn->told.empty());
  EXPECT_EQ(refused->told, std::vector<SendStatus>{SendStatus::Closed});
  for (std::uint64_t k = 0; k < GetParam(); ++k) EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
  EXPECT_EQ(channel.queue().send_or_park(tagged(4), std::make_shared<RecordingClaim>()), SendStatus::Closed);
}

// A receive passes over a withdrawn parked send to the next one.
TEST_P(CloseTest, AReceivePassesOverAWithdrawnParkedSend) {
  const ChannelHandle channel = make_channel(GetParam());
  for (std::uint64_t k = 0; k < GetParam(); ++k) ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  const auto withdrawn = std::make_shared<RecordingClaim>();
  const auto kept = std::make_shared<RecordingClaim>();
  ASSERT_EQ(channel.queue().send_or_park(tagged(2), withdrawn), SendStatus::Parked);
  ASSERT_EQ(channel.queue().send_or_park(tagged(3), kept), SendStatus::Parked);
  ASSERT_TRUE(withdrawn->withdraw());
  std::vector<double> got;
  for (std::uint64_t k = 0; k <= GetParam(); ++k) got.push_back(tag_of(channel.recv_buffer(after(1s))->value()));
  EXPECT_EQ(got.back(), 3);
  EXPECT_EQ(kept->told, std::vector<SendStatus>{SendStatus::Sent});
  EXPECT_FALSE(channel.recv_buffer(after(10ms)).has_value());
}

TEST(CloseFullChannelTest, CloseNeverWaitsAndTheMarkerFollowsTheQueuedBuffers) {
  const ChannelHandle channel = make_channel(2);
  ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  ASSERT_TRUE(channel.send_buffer(tagged(2), after(1s))->ok());
  EXPECT_TRUE(channel.close());
  EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
  EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 2);
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
}

// A full channel whose marker is pending: the sender that was waiting is
// refused, and the slot freed by a receive goes to the marker.
TEST(CloseFullChannelTest, PendingMarkerTakesTheFirstFreedSlot) {
  const ChannelHandle channel = make_channel(1);
  ASSERT_TRUE(channel.send_buffer(tagged(1), after(1s))->ok());
  std::atomic<bool> sent{false};
  TestThread waiting([&] {
    const std::optional<Result<void>> done = channel.send_buffer(tagged(2), after(10s));
    sent = done && done->ok();
  });
  EXPECT_FALSE(waiting.finishes_within(50ms));
  EXPECT_TRUE(channel.close());
  waiting.join_within(5s);
  EXPECT_FALSE(sent);
  EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 1);
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
}

TEST(CloseRendezvousTest, CloseWithoutReceiverReturnsAndTheNextReceiverSeesIt) {
  const ChannelHandle channel = make_channel(0);
  EXPECT_TRUE(channel.close());
  EXPECT_TRUE(is_channel_closed(channel.recv_buffer(after(1s))));
}

TEST(ChannelTest, ReceivedBufferSharesStorageWithTheSentOne) {
  const ChannelHandle channel = make_channel(1);
  const BufferRef buffer = tagged(3);
  ASSERT_TRUE(channel.send_buffer(buffer, after(1s))->ok());
  std::optional<Result<BufferRef>> got = channel.recv_buffer(after(1s));
  ASSERT_TRUE(got && got->ok());
  EXPECT_EQ(got->value().get(), buffer.get());
}

TEST(ChannelTest, TimeoutsReportNothingDoneAndConsumeNothing) {
  const ChannelHandle full = make_channel(1);
  ASSERT_TRUE(full.send_buffer(tagged(1), after(1s))->ok());
  EXPECT_FALSE(full.send_buffer(tagged(2), after(20ms)).has_value());
  EXPECT_EQ(tag_of(full.recv_buffer(after(1s))->value()), 1);
  EXPECT_FALSE(full.recv_buffer(after(20ms)).has_value());

  const ChannelHandle rendezvous = make_channel(0);
  EXPECT_FALSE(rendezvous.send_buffer(tagged(1), after(20ms)).has_value());
  EXPECT_FALSE(rendezvous.recv_buffer(after(20ms)).has_value());
}

TEST(ChannelTest, CopiesShareQueueAndClosedFlag) {
  const ChannelHandle channel = make_channel(4);
  const ChannelHandle copy = channel;
  ASSERT_TRUE(copy.send_buffer(tagged(8), after(1s))->ok());
  EXPECT_EQ(tag_of(channel.recv_buffer(after(1s))->value()), 8);
  EXPECT_TRUE(copy.close());
  EXPECT_TRUE(channel.is_closed());
  EXPECT_FALSE(channel.close());
}

TEST(ChannelTest, UnreservableCapacityIsReported) {
  EXPECT_FALSE(ChannelHandle::create(std::uint64_t{1} << 62).has_value());
}

}  // namespace
}  // namespace bmx

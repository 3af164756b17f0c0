// Waits that end on a signal: with Deadline::until_signal() a signal delivered
// to the waiting thread ends the wait with nothing sent or taken and no entry
// left behind; with any other deadline signals change nothing.
#include <gtest/gtest.h>

#include <vector>

#include "channel/channel.h"
#include "channel/select.h"
#include "test_thread.h"

namespace bmx {
namespace {

using namespace bmx::testing;

class InterruptTest : public ::testing::TestWithParam<std::uint64_t> {};

INSTANTIATE_TEST_SUITE_P(Capacities, InterruptTest, ::testing::Values(0, 1));

TEST_P(InterruptTest, SignalEndsARecvAndLeavesNoWaiter) {
  const ChannelHandle channel = *ChannelHandle::create(GetParam());
  std::optional<Result<BufferRef>> got;
  signal_until_done([&] { got = channel.recv_buffer(Deadline::until_signal()); });
  EXPECT_FALSE(got.has_value());
  // No receiver is left registered: a rendezvous send finds nobody.
  if (GetParam() == 0) {
    EXPECT_EQ(channel.queue().try_send(tagged(1)).status, SendStatus::Full);
  }
}

TEST_P(InterruptTest, SignalEndsASendWithNothingSent) {
  const ChannelHandle channel = *ChannelHandle::create(GetParam());
  if (GetParam() > 0) {
    ASSERT_TRUE(channel.send_buffer(tagged(1), std::nullopt)->ok());
  }
  std::optional<Result<void>> sent;
  signal_until_done([&] { sent = channel.send_buffer(tagged(2), Deadline::until_signal()); });
  EXPECT_FALSE(sent.has_value());
  std::vector<double> queued;
  for (RecvResult got = channel.queue().try_recv(); got.status == RecvStatus::Message;
       got = channel.queue().try_recv()) {
    queued.push_back(tag_of(*got.message));
  }
  EXPECT_EQ(queued, GetParam() > 0 ? std::vector<double>{1} : std::vector<double>{});
}

TEST_P(InterruptTest, SignalEndsASelect) {
  const ChannelHandle a = *ChannelHandle::create(GetParam());
  const ChannelHandle b = *ChannelHandle::create(GetParam());
  const std::vector<ChannelHandle> cases{a, b};
  SelectStatus status = SelectStatus::Message;
  signal_until_done([&] { status = select(cases, Deadline::until_signal()).status; });
  EXPECT_EQ(status, SelectStatus::TimedOut);
}

TEST(InterruptTest, OtherDeadlinesIgnoreSignals) {
  const ChannelHandle channel = *ChannelHandle::create(1);
  std::optional<Result<BufferRef>> got;
  TestThread feeder([&] {
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(channel.send_buffer(tagged(3), std::nullopt)->ok());
  });
  signal_until_done([&] { got = channel.recv_buffer(std::nullopt); });
  ASSERT_TRUE(got && got->ok());
  EXPECT_EQ(tag_of(got->value()), 3);
}

}  // namespace
}  // namespace bmx

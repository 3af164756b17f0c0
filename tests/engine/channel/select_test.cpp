// Select over receive cases: readiness, waking, fairness, deadlines and the
// empty set. Ideas from crossbeam-channel's select.rs tests and Go's
// select_test/chan_test (TestSelectFairness).
#include "channel/select.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "channel/channel.h"
#include "internal_failure.h"
#include "test_thread.h"

namespace bmx {
namespace {

using namespace bmx::testing;

std::vector<ChannelHandle> cases_of(std::initializer_list<const ChannelHandle*> channels) {
  std::vector<ChannelHandle> cases;
  for (const ChannelHandle* channel : channels) cases.push_back(*channel);
  return cases;
}

TEST(SelectTest, TakesFromTheOnlyReadyCase) {
  const ChannelHandle a = make_channel(1);
  const ChannelHandle b = make_channel(1);
  const BufferRef buffer = tagged(5);
  ASSERT_TRUE(b.send_buffer(buffer, after(1s))->ok());
  const std::vector<ChannelHandle> cases = cases_of({&a, &b});
  SelectResult got = select(cases, after(1s));
  EXPECT_EQ(got.status, SelectStatus::Message);
  EXPECT_EQ(got.index, 1u);
  EXPECT_EQ(*got.message, buffer);
  EXPECT_EQ(try_select(cases).status, SelectStatus::NoneReady);
}

TEST(SelectTest, TryFormReportsNoneReadyAtOnce) {
  const ChannelHandle a = make_channel(3);
  const ChannelHandle b = make_channel(0);
  EXPECT_EQ(try_select(cases_of({&a, &b})).status, SelectStatus::NoneReady);
  EXPECT_EQ(try_select({}).status, SelectStatus::NoneReady);
}

TEST(SelectTest, EmptySetIsAnInternalFailureInsteadOfWaitingForever) {
  try {
    (void)select({}, std::nullopt);
    FAIL() << "select on no cases returned";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "no operations have been added to `Select`");
  }
}

// A sender waiting on a rendezvous channel makes the case ready.
TEST(SelectTest, WaitingRendezvousSenderMakesItsCaseReady) {
  const ChannelHandle a = make_channel(0);
  const ChannelHandle b = make_channel(0);
  std::atomic<bool> sent{false};
  TestThread sender([&] { sent = b.send_buffer(tagged(9), after(10s))->ok(); });
  const std::vector<ChannelHandle> cases = cases_of({&a, &b});
  const auto limit = std::chrono::steady_clock::now() + 5s;
  SelectResult got = try_select(cases);
  while (got.status == SelectStatus::NoneReady && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(1ms);
    got = try_select(cases);
  }
  ASSERT_EQ(got.status, SelectStatus::Message);
  EXPECT_EQ(got.index, 1u);
  EXPECT_EQ(tag_of(*got.message), 9);
  sender.join_within(5s);
  EXPECT_TRUE(sent);
}

class SelectWakeTest : public ::testing::TestWithParam<std::uint64_t> {};

INSTANTIATE_TEST_SUITE_P(Capacities, SelectWakeTest, ::testing::Values(0, 1, 4));

TEST_P(SelectWakeTest, WaitingSelectIsWokenByASendOnAnyCase) {
  for (int target = 0; target < 3; ++target) {
    const ChannelHandle a = make_channel(GetParam());
    const ChannelHandle b = make_channel(GetParam());
    const ChannelHandle c = make_channel(GetParam());
    const ChannelHandle* channels[] = {&a, &b, &c};
    SelectResult got{SelectStatus::TimedOut, 0, std::nullopt};
    TestThread selecting([&] { got = select(cases_of({&a, &b, &c}), after(10s)); });
    EXPECT_FALSE(selecting.finishes_within(30ms));
    ASSERT_TRUE(channels[target]->send_buffer(tagged(target), after(10s))->ok());
    selecting.join_within(5s);
    ASSERT_EQ(got.status, SelectStatus::Message);
    EXPECT_EQ(got.index, static_cast<std::size_t>(target));
    EXPECT_EQ(tag_of(*got.message), target);
  }
}

TEST_P(SelectWakeTest, ClosingAnEmptyChannelReleasesAWaitingSelect) {
  const ChannelHandle a = make_channel(GetParam());
  const ChannelHandle b = make_channel(GetParam());
  SelectResult got{SelectStatus::TimedOut, 0, std::nullopt};
  TestThread selecting([&] { got = select(cases_of({&a, &b}), after(10s)); });
  EXPECT_FALSE(selecting.finishes_within(30ms));
  ASSERT_TRUE(b.close());
  selecting.join_within(5s);
  ASSERT_EQ(got.status, SelectStatus::Message);
  EXPECT_EQ(got.index, 1u);
  EXPECT_FALSE(got.message.has_value());
}

// After the marker has been taken, a select on the drained channel reports the
// close again rather than waiting, like a receive does.
TEST_P(SelectWakeTest, ClosedAndDrainedChannelStaysReady) {
  const ChannelHandle a = make_channel(GetParam());
  ASSERT_TRUE(a.close());
  const std::vector<ChannelHandle> cases = cases_of({&a});
  for (int i = 0; i < 3; ++i) {
    SelectResult got = select(cases, after(5s));
    ASSERT_EQ(got.status, SelectStatus::Message);
    EXPECT_FALSE(got.message.has_value());
  }
  EXPECT_EQ(try_select(cases).status, SelectStatus::Message);
}

TEST_P(SelectWakeTest, TimeoutTakesNothing) {
  const ChannelHandle a = make_channel(GetParam());
  const ChannelHandle b = make_channel(GetParam());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(select(cases_of({&a, &b}), after(40ms)).status, SelectStatus::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
}

// Go's TestSelectFairness idea: with two cases always ready, each is chosen
// about half the time.
TEST(SelectTest, ReadyCasesAreChosenWithEqualShares) {
  const ChannelHandle a = make_channel(4);
  const ChannelHandle b = make_channel(4);
  const std::vector<ChannelHandle> cases = cases_of({&a, &b});
  int chosen[2] = {0, 0};
  constexpr int kCalls = 2000;
  for (int i = 0; i < kCalls; ++i) {
    while (a.queue().try_send(tagged(0)).status == SendStatus::Sent) {
    }
    while (b.queue().try_send(tagged(1)).status == SendStatus::Sent) {
    }
    SelectResult got = select(cases, after(1s));
    ASSERT_EQ(got.status, SelectStatus::Message);
    ASSERT_EQ(tag_of(*got.message), static_cast<double>(got.index));
    ++chosen[got.index];
  }
  EXPECT_GT(chosen[0], kCalls * 4 / 10);
  EXPECT_GT(chosen[1], kCalls * 4 / 10);
}

TEST(SelectTest, SameChannelInSeveralCasesReportsTheChosenPosition) {
  const ChannelHandle a = make_channel(2);
  const ChannelHandle b = make_channel(2);
  ASSERT_TRUE(a.send_buffer(tagged(1), after(1s))->ok());
  const std::vector<ChannelHandle> cases = cases_of({&b, &a, &a});
  bool seen[3] = {false, false, false};
  for (int i = 0; i < 200; ++i) {
    SelectResult got = select(cases, after(1s));
    ASSERT_EQ(got.status, SelectStatus::Message);
    ASSERT_NE(got.index, 0u);
    seen[got.index] = true;
    ASSERT_TRUE(a.send_buffer(tagged(1), after(1s))->ok());
  }
  EXPECT_TRUE(seen[1]);
  EXPECT_TRUE(seen[2]);
}

// Only the chosen case is touched: the other ready case keeps its message.
TEST(SelectTest, TakesExactlyOneMessage) {
  const ChannelHandle a = make_channel(1);
  const ChannelHandle b = make_channel(1);
  ASSERT_TRUE(a.send_buffer(tagged(0), after(1s))->ok());
  ASSERT_TRUE(b.send_buffer(tagged(1), after(1s))->ok());
  const SelectResult got = select(cases_of({&a, &b}), after(1s));
  ASSERT_EQ(got.status, SelectStatus::Message);
  const ChannelHandle& other = got.index == 0 ? b : a;
  EXPECT_EQ(tag_of(*other.queue().try_recv().message), got.index == 0 ? 1 : 0);
  EXPECT_EQ(a.queue().try_recv().status, RecvStatus::Empty);
  EXPECT_EQ(b.queue().try_recv().status, RecvStatus::Empty);
}

}  // namespace
}  // namespace bmx

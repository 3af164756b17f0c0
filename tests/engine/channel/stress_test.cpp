// Exactly-once delivery under load: producers, receivers and selecting
// consumers share three channels while the channels are closed one by one.
// Every buffer whose send succeeded must be received exactly once, and none
// whose send failed or timed out. The shape follows crossbeam-channel's
// "mpmc" and "stress_timeout_two_threads" tests. Runs about 2 s in total by
// default; BMX_STRESS_SECONDS sets the total.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "channel/channel.h"
#include "channel/select.h"
#include "test_thread.h"

namespace bmx {
namespace {

using namespace bmx::testing;

std::chrono::milliseconds total_budget() {
  if (const char* text = std::getenv("BMX_STRESS_SECONDS")) {
    return std::chrono::milliseconds(static_cast<long>(std::atof(text) * 1000));
  }
  return 2000ms;
}

class ExactlyOnceTest : public ::testing::TestWithParam<std::uint64_t> {};

INSTANTIATE_TEST_SUITE_P(Capacities, ExactlyOnceTest, ::testing::Values(0, 1, 8));

TEST_P(ExactlyOnceTest, EverySentBufferIsReceivedOnce) {
  constexpr int kChannels = 3;
  constexpr int kProducers = 3;
  constexpr int kReceivers = 2;
  constexpr int kSelectors = 2;
  constexpr int kIdsPerProducer = 1 << 20;
  // Sent by each producer before any channel closes, however slow the machine.
  constexpr int kFloorPerProducer = 50;
  const auto duration = total_budget() / 3;

  std::vector<ChannelHandle> channels;
  for (int i = 0; i < kChannels; ++i) channels.push_back(*ChannelHandle::create(GetParam()));
  std::vector<ChannelHandle> cases;
  for (const ChannelHandle& channel : channels) cases.push_back(channel);

  std::atomic<bool> stop_consumers{false};
  const auto producing_until = std::chrono::steady_clock::now() + duration;
  std::vector<std::vector<int>> sent(kProducers);
  std::vector<std::vector<int>> received(kReceivers + kSelectors);
  std::atomic<int> sent_before_close{0};

  std::vector<std::unique_ptr<TestThread>> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.push_back(std::make_unique<TestThread>([&, p] {
      std::mt19937 rng(100 + p);
      for (int n = 0; n < kFloorPerProducer || std::chrono::steady_clock::now() < producing_until; ++n) {
        const int id = p * kIdsPerProducer + n;
        const ChannelHandle& channel = channels[rng() % kChannels];
        const auto slice = std::chrono::microseconds(100 + rng() % 2000);
        std::optional<Result<void>> done = channel.send_buffer(tagged(id), after(slice));
        // A timed-out attempt is tried again, as a send resumed after a
        // signal handler is; it ends sent, or refused once the channel closes.
        while (!done) done = channel.send_buffer(tagged(id), after(slice));
        if (done->ok()) sent[p].push_back(id);
        if (n + 1 == kFloorPerProducer) ++sent_before_close;
      }
    }));
  }

  std::vector<std::unique_ptr<TestThread>> consumers;
  for (int c = 0; c < kReceivers + kSelectors; ++c) {
    consumers.push_back(std::make_unique<TestThread>([&, c] {
      std::mt19937 rng(200 + c);
      while (!stop_consumers) {
        const auto slice = after(std::chrono::microseconds(rng() % 3000));
        if (c < kReceivers) {
          std::optional<Result<BufferRef>> got = channels[rng() % kChannels].recv_buffer(slice);
          if (got && got->ok()) received[c].push_back(static_cast<int>(tag_of(got->value())));
        } else {
          SelectResult got = select(cases, slice);
          if (got.status == SelectStatus::Message && got.message) {
            received[c].push_back(static_cast<int>(tag_of(*got.message)));
          }
        }
      }
    }));
  }

  // Close the channels one by one while traffic flows, once every producer
  // has its floor of sends behind it.
  const auto floor_deadline = std::chrono::steady_clock::now() + 60s;
  while (sent_before_close < kProducers && std::chrono::steady_clock::now() < floor_deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(sent_before_close, kProducers) << "producers stalled before their first sends";
  for (int i = 0; i < kChannels; ++i) {
    std::this_thread::sleep_for(duration / (kChannels + 1));
    EXPECT_TRUE(channels[i].close());
  }
  for (auto& producer : producers) producer->join_within(duration + 20s);
  stop_consumers = true;
  for (auto& consumer : consumers) consumer->join_within(20s);

  // Buffers sent before the close may still be queued; two markers in a row
  // (the real one, if untaken, then the repeated report) mean nothing is
  // left, and nothing lies behind the marker.
  std::vector<int> leftovers;
  for (const ChannelHandle& channel : channels) {
    for (int markers_in_a_row = 0; markers_in_a_row < 2;) {
      RecvResult got = channel.queue().try_recv();
      ASSERT_EQ(got.status, RecvStatus::Message);
      if (got.message) {
        EXPECT_EQ(markers_in_a_row, 0) << "a value was queued behind the close marker";
        leftovers.push_back(static_cast<int>(tag_of(*got.message)));
        markers_in_a_row = 0;
      } else {
        ++markers_in_a_row;
      }
    }
  }

  std::vector<int> all_sent;
  for (const auto& ids : sent) all_sent.insert(all_sent.end(), ids.begin(), ids.end());
  std::vector<int> all_received = leftovers;
  for (const auto& ids : received) all_received.insert(all_received.end(), ids.begin(), ids.end());
  std::sort(all_sent.begin(), all_sent.end());
  std::sort(all_received.begin(), all_received.end());
  EXPECT_GE(all_sent.size(), static_cast<std::size_t>(kProducers * kFloorPerProducer));
  EXPECT_EQ(std::adjacent_find(all_received.begin(), all_received.end()), all_received.end()) << "duplicate";
  EXPECT_EQ(all_received, all_sent);
}

}  // namespace
}  // namespace bmx

// The work-stealing deque: owner order, thief order, capacity, and a race of
// one owner against several thieves.
#include "pool/deque.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "pool_test_support.h"

namespace bmx {
namespace {

using pool_test::run_threads;

TEST(JobDequeTest, OwnerTakesNewestThiefTakesOldest) {
  JobDeque<int> deque;
  int jobs[3] = {0, 1, 2};
  for (int& job : jobs) ASSERT_TRUE(deque.push(&job));
  EXPECT_EQ(deque.pop(), &jobs[2]);
  EXPECT_EQ(deque.steal(), &jobs[0]);
  EXPECT_FALSE(deque.looks_empty());
  EXPECT_EQ(deque.pop(), &jobs[1]);
  EXPECT_EQ(deque.pop(), nullptr);
  EXPECT_EQ(deque.steal(), nullptr);
  EXPECT_TRUE(deque.looks_empty());
}

TEST(JobDequeTest, RefusesPushWhenFullAndWrapsAround) {
  JobDeque<int> deque;
  std::vector<int> jobs(JobDeque<int>::kCapacity + 1);
  for (std::int64_t i = 0; i < JobDeque<int>::kCapacity; ++i) ASSERT_TRUE(deque.push(&jobs[i]));
  EXPECT_FALSE(deque.push(&jobs.back()));
  EXPECT_EQ(deque.steal(), &jobs[0]);
  ASSERT_TRUE(deque.push(&jobs.back()));
  EXPECT_EQ(deque.pop(), &jobs.back());
  for (std::int64_t i = JobDeque<int>::kCapacity - 1; i >= 1; --i) EXPECT_EQ(deque.pop(), &jobs[i]);
  EXPECT_EQ(deque.pop(), nullptr);
}

// The owner pushes and pops at random while thieves steal: every job must be
// taken exactly once, by the owner or by one thief.
TEST(JobDequeTest, EveryJobIsTakenExactlyOnceUnderContention) {
  constexpr std::size_t kJobs = 200000;
  constexpr std::size_t kThieves = 3;
  JobDeque<int> deque;
  std::vector<int> jobs(kJobs);
  std::vector<std::atomic<int>> taken(kJobs);
  std::atomic<bool> owner_done{false};
  auto take = [&](int* job) { taken[static_cast<std::size_t>(job - jobs.data())].fetch_add(1); };

  run_threads(kThieves + 1, [&](std::size_t t) {
    if (t == 0) {
      std::mt19937 rng(20240601);
      std::size_t next = 0;
      while (next < kJobs) {
        if (rng() % 3 != 0 && deque.push(&jobs[next])) {
          ++next;
        } else if (int* job = deque.pop()) {
          take(job);
        }
      }
      while (int* job = deque.pop()) take(job);
      owner_done.store(true);
      return;
    }
    for (;;) {
      const bool finished = owner_done.load();
      if (int* job = deque.steal()) {
        take(job);
      } else if (finished) {
        return;
      }
    }
  });

  for (std::size_t i = 0; i < kJobs; ++i) ASSERT_EQ(taken[i].load(), 1) << "job " << i;
}

}  // namespace
}  // namespace bmx

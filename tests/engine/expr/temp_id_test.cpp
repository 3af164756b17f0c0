// The argument id counter under concurrent use.
#include "expr/temp_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace bmx {
namespace {

TEST(TempIdTest, ConcurrentDrawsAreUniqueAndIncreasingPerThread) {
  constexpr int kThreads = 8;
  constexpr int kDraws = 5000;
  std::vector<std::vector<std::uint64_t>> drawn(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&drawn, t] {
        for (int i = 0; i < kDraws; ++i) drawn[t].push_back(next_temp_id());
      });
    }
  }
  std::vector<std::uint64_t> all;
  for (const std::vector<std::uint64_t>& ids : drawn) {
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    all.insert(all.end(), ids.begin(), ids.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  // No id was skipped: the draws form one contiguous run.
  EXPECT_EQ(all.back() - all.front() + 1, all.size());
}

}  // namespace
}  // namespace bmx

// Pool behaviour: coverage and shape of the pieces, failures, join, several
// callers at once, nested use, and waking of parked threads.
#include "pool/pool.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "internal_failure.h"
#include "pool_test_support.h"

namespace bmx {
namespace {

using pool_test::Clock;
using pool_test::HitCounter;
using pool_test::ms;
using pool_test::run_threads;
using pool_test::wait_for;

using Piece = std::pair<std::size_t, std::size_t>;

/// Whether [begin, end) is a node of the halving tree of [0, n) that splits
/// only pieces whose halves keep `min_piece` elements.
bool is_halving_node(std::size_t begin, std::size_t end, std::size_t n, std::size_t min_piece) {
  std::size_t lo = 0;
  std::size_t hi = n;
  while (lo != begin || hi != end) {
    const std::size_t half = (hi - lo) / 2;
    if (half < min_piece) return false;
    const std::size_t mid = lo + half;
    if (end <= mid) {
      hi = mid;
    } else if (begin >= mid) {
      lo = mid;
    } else {
      return false;
    }
  }
  return true;
}

/// Runs run_pieces and checks that the pieces partition [0, n) exactly, are
/// halving-tree nodes, and are never shorter than min_piece unless n is.
void check_pieces(WorkPool& pool, std::size_t n, std::size_t min_piece) {
  HitCounter hits(n);
  std::mutex mutex;
  std::vector<Piece> pieces;
  pool.run_pieces(n, min_piece, [&](std::size_t begin, std::size_t end) {
    hits.visit(begin, end);
    std::scoped_lock lock(mutex);
    pieces.emplace_back(begin, end);
  });
  ASSERT_EQ(hits.first_wrong(), n) << "n=" << n << " min_piece=" << min_piece;
  if (n == 0) {
    EXPECT_TRUE(pieces.empty());
    return;
  }
  std::sort(pieces.begin(), pieces.end());
  const std::size_t shortest = std::min(n, std::max<std::size_t>(min_piece, 1));
  std::size_t expected_begin = 0;
  for (const auto& [begin, end] : pieces) {
    ASSERT_EQ(begin, expected_begin);
    ASSERT_GE(end - begin, shortest) << "n=" << n << " min_piece=" << min_piece;
    ASSERT_TRUE(is_halving_node(begin, end, n, std::max<std::size_t>(min_piece, 1)))
        << "[" << begin << ", " << end << ") n=" << n << " min_piece=" << min_piece;
    expected_begin = end;
  }
  EXPECT_EQ(expected_begin, n);
}

/// A pool of the given size, or the process-wide one for size 0.
class PoolTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    if (GetParam() != 0) owned_ = std::make_unique<WorkPool>(GetParam());
  }
  WorkPool& pool() { return owned_ ? *owned_ : WorkPool::global(); }

 private:
  std::unique_ptr<WorkPool> owned_;
};

INSTANTIATE_TEST_SUITE_P(Sizes, PoolTest, ::testing::Values(0, 1, 2, 3, 8),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return info.param == 0 ? std::string("Global") : "Threads" + std::to_string(info.param);
                         });

TEST_P(PoolTest, PiecesCoverEveryIndexOnce) {
  for (const std::size_t n : {0, 1, 2, 3, 7, 1023, 1024, 1025, 2047, 2048, 4095, 4096, 4097, 10007, 65539, 1 << 20}) {
    for (const std::size_t min_piece : {0, 1, 7, 1024, 5000}) check_pieces(pool(), n, min_piece);
  }
}

TEST_P(PoolTest, RandomSizesCoverEveryIndexOnce) {
  std::mt19937_64 rng(7 + GetParam());
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = rng() % 50000;
    const std::size_t min_piece = 1 + rng() % 3000;
    check_pieces(pool(), n, min_piece);
  }
}

TEST_P(PoolTest, FirstPieceRunsAloneBelowTwiceTheMinimum) {
  std::atomic<int> calls{0};
  pool().run_pieces(2047, 1024, [&](std::size_t begin, std::size_t end) {
    EXPECT_EQ(begin, 0u);
    EXPECT_EQ(end, 2047u);
    calls.fetch_add(1);
  });
  EXPECT_EQ(calls.load(), 1);
}

TEST_P(PoolTest, FailureArrivesAsTheSameExceptionAfterEveryPieceRan) {
  constexpr std::size_t kN = 1 << 16;
  for (const std::size_t failing : {std::size_t{0}, kN / 3, kN - 1}) {
    HitCounter hits(kN);
    try {
      pool().run_pieces(kN, 1, [&](std::size_t begin, std::size_t end) {
        hits.visit(begin, end);
        if (begin <= failing && failing < end) fail("piece failed at " + std::to_string(failing));
      });
      ADD_FAILURE() << "expected an internal failure";
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.message(), "piece failed at " + std::to_string(failing));
    }
    EXPECT_EQ(hits.first_wrong(), kN);
  }
}

TEST_P(PoolTest, LowestFailingPieceWins) {
  constexpr std::size_t kN = 1 << 16;
  for (int round = 0; round < 20; ++round) {
    try {
      pool().run_pieces(kN, 1, [](std::size_t begin, std::size_t) {
        throw std::out_of_range("piece " + std::to_string(begin));
      });
      ADD_FAILURE() << "expected an exception";
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "piece 0");
    }
  }
}

TEST_P(PoolTest, JoinRunsBothHalvesAndPrefersTheFirstFailure) {
  std::atomic<int> ran{0};
  try {
    pool().join([&] { ran.fetch_add(1); throw std::runtime_error("a"); },
                [&](bool) { ran.fetch_add(1); throw std::logic_error("b"); });
    ADD_FAILURE() << "expected an exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "a");
  }
  EXPECT_EQ(ran.load(), 2);
  try {
    pool().join([&] { ran.fetch_add(1); }, [&](bool) { ran.fetch_add(1); throw std::logic_error("b"); });
    ADD_FAILURE() << "expected an exception";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "b");
  }
  EXPECT_EQ(ran.load(), 4);
}

// The first half blocks until the second has started, so the second must be
// stolen by a worker, which first has to be woken from its parked state.
TEST_P(PoolTest, SecondHalfIsStolenWhileTheFirstWaits) {
  if (pool().thread_count() == 0) GTEST_SKIP() << "a global pool without workers on one allowed processor";
  std::this_thread::sleep_for(ms(30));
  for (int round = 0; round < 20; ++round) {
    std::atomic<bool> b_started{false};
    std::atomic<bool> b_migrated{false};
    bool seen = false;
    pool().join([&] { seen = wait_for([&] { return b_started.load(); }); },
                [&](bool migrated) {
                  b_migrated.store(migrated);
                  b_started.store(true);
                });
    ASSERT_TRUE(seen) << "round " << round;
    EXPECT_TRUE(b_migrated.load());
  }
}

// The stolen half takes long, so the caller parks and must be woken by the
// latch; inside a worker the same happens with a nested join.
TEST_P(PoolTest, ParkedJoinOwnersAreWokenWhenTheirJobFinishes) {
  if (pool().thread_count() == 0) GTEST_SKIP() << "a global pool without workers on one allowed processor";
  const Clock::time_point start = Clock::now();
  auto slow_b = [](bool) { std::this_thread::sleep_for(ms(20)); };
  auto forced_join = [&] {
    std::atomic<bool> b_started{false};
    pool().join([&] { EXPECT_TRUE(wait_for([&] { return b_started.load(); })); },
                [&](bool migrated) {
                  b_started.store(true);
                  slow_b(migrated);
                });
  };
  for (int round = 0; round < 5; ++round) forced_join();
  if (pool().thread_count() >= 2) {
    // Outside -> worker W1 runs b, which joins again and waits for W2.
    std::atomic<bool> outer_started{false};
    pool().join([&] { EXPECT_TRUE(wait_for([&] { return outer_started.load(); })); },
                [&](bool) {
                  outer_started.store(true);
                  for (int round = 0; round < 5; ++round) forced_join();
                });
  }
  EXPECT_LT(Clock::now() - start, pool_test::kDeadline);
}

TEST_P(PoolTest, NestedRunsCoverTheGrid) {
  constexpr std::size_t kRows = 64;
  constexpr std::size_t kCols = 5000;
  HitCounter hits(kRows * kCols);
  pool().run_pieces(kRows, 1, [&](std::size_t row_begin, std::size_t row_end) {
    for (std::size_t row = row_begin; row < row_end; ++row) {
      pool().run_pieces(kCols, 100, [&](std::size_t begin, std::size_t end) {
        hits.visit(row * kCols + begin, row * kCols + end);
      });
    }
  });
  EXPECT_EQ(hits.first_wrong(), kRows * kCols);
}

TEST_P(PoolTest, ConcurrentCallersAllComplete) {
  constexpr std::size_t kCallers = 4;
  std::atomic<int> wrong{0};
  run_threads(kCallers, [&](std::size_t caller) {
    std::mt19937_64 rng(1000 + caller);
    for (int round = 0; round < 40; ++round) {
      const std::size_t n = 4096 + rng() % 100000;
      const std::size_t min_piece = round % 2 == 0 ? 1024 : 1;
      HitCounter hits(n);
      pool().run_pieces(n, min_piece, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
      if (hits.first_wrong() != n) wrong.fetch_add(1);
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

std::size_t allowed_cpus() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  EXPECT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
  return static_cast<std::size_t>(CPU_COUNT(&allowed));
}

// The caller works beside the workers, so the pool has one worker less than
// the thread count.
TEST(WorkPoolTest, GlobalPoolHasOneWorkerLessThanTheAllowedProcessors) {
  EXPECT_EQ(WorkPool::num_threads(), allowed_cpus());
  EXPECT_EQ(WorkPool::global().thread_count(), allowed_cpus() - 1);
  EXPECT_EQ(&WorkPool::global(), &WorkPool::global());
}

// One pool, resized by every change of the setting.
TEST(WorkPoolTest, ThreadSettingResizesThePool) {
  const std::size_t initial = WorkPool::num_threads();
  WorkPool& pool = WorkPool::global();
  EXPECT_EQ(WorkPool::set_num_threads(4), initial);
  EXPECT_EQ(WorkPool::num_threads(), 4u);
  EXPECT_EQ(pool.thread_count(), 3u);
  EXPECT_EQ(WorkPool::set_num_threads(1), 4u);
  EXPECT_EQ(pool.thread_count(), 0u);
  EXPECT_EQ(WorkPool::set_num_threads(4), 1u);
  EXPECT_EQ(&WorkPool::global(), &pool);
  EXPECT_EQ(pool.thread_count(), 3u);
  HitCounter hits(100000);
  pool.run_pieces(100000, 1, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
  EXPECT_EQ(hits.first_wrong(), 100000u);
  EXPECT_EQ(WorkPool::set_num_threads(initial), 4u);
  EXPECT_THROW(WorkPool::set_num_threads(0), InternalFailure);
  EXPECT_THROW(WorkPool::set_num_threads(WorkPool::kMaxThreads + 1), InternalFailure);
  EXPECT_EQ(WorkPool::num_threads(), initial);
  EXPECT_EQ(pool.thread_count(), initial - 1);
}

// Without workers the callers run every piece themselves.
TEST(WorkPoolTest, APoolWithoutWorkersRunsOnTheCaller) {
  WorkPool pool(0);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> elsewhere{0};
  pool.run_pieces(1 << 16, 1, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() != caller) elsewhere.fetch_add(1);
  });
  EXPECT_EQ(elsewhere.load(), 0);
  check_pieces(pool, 100000, 7);
}

// Runs under way carry on while other threads grow and shrink the pool.
TEST(WorkPoolTest, ThreadSettingChangesDuringRuns) {
  const std::size_t initial = WorkPool::num_threads();
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      while (!stop.load()) {
        HitCounter hits(20000);
        WorkPool::global().run_pieces(20000, 64, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
        if (hits.first_wrong() != 20000) wrong.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 200; ++round) (void)WorkPool::set_num_threads(1 + round * 7 % 9);
  stop.store(true);
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
  (void)WorkPool::set_num_threads(initial);
}

// Random mixes of nested runs, joins, failures and resizes from several callers, for
// BMX_STRESS_SECONDS (default: a fraction of a second).
TEST(WorkPoolTest, StressMixedWork) {
  const char* env = std::getenv("BMX_STRESS_SECONDS");
  const double seconds = env != nullptr ? std::atof(env) : 0.3;
  WorkPool pool(4);
  const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const Clock::time_point until = Clock::now() + duration;
  std::atomic<int> wrong{0};
  run_threads(4, [&](std::size_t caller) {
    std::mt19937_64 rng(4242 + caller);
    if (caller == 3) {
      // The pool grows and shrinks under the others' runs.
      while (Clock::now() < until) pool.resize(rng() % 7);
      return;
    }
    while (Clock::now() < until) {
      const std::size_t n = rng() % 20000;
      const std::size_t min_piece = 1 + rng() % 2000;
      const bool nested = rng() % 4 == 0;
      const std::size_t failing = rng() % 3 == 0 && n > 0 ? rng() % n : n;
      HitCounter hits(n);
      try {
        pool.run_pieces(n, min_piece, [&](std::size_t begin, std::size_t end) {
          if (nested) {
            pool.run_pieces(end - begin, 1, [&](std::size_t b, std::size_t e) { hits.visit(begin + b, begin + e); });
          } else {
            hits.visit(begin, end);
          }
          if (begin <= failing && failing < end) throw std::runtime_error("stress");
        });
        if (failing != n) wrong.fetch_add(1);
      } catch (const std::runtime_error&) {
        if (failing == n) wrong.fetch_add(1);
      }
      if (hits.first_wrong() != n) wrong.fetch_add(1);
    }
  }, duration + pool_test::kDeadline);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace bmx

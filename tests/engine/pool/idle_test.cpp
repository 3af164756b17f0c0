// What the pool costs: no processor time once idle, and the overhead of
// handing a 4096-element run to it. The overhead is printed, not asserted:
// it depends on the machine and the build.
#include <time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "pool/pool.h"
#include "pool_test_support.h"

namespace bmx {
namespace {

using pool_test::Clock;
using pool_test::ms;

double process_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

TEST(WorkPoolCostTest, IdleWorkersBurnNoProcessorTime) {
  WorkPool& pool = WorkPool::global();
  std::vector<double> data(1 << 18, 1.0);
  for (int round = 0; round < 50; ++round) {
    pool.run_pieces(data.size(), 1024, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) data[i] = data[i] * 1.0000001 + 1e-9;
    });
  }
  // Let the workers' short spin run out before measuring.
  std::this_thread::sleep_for(ms(20));
  const double before = process_cpu_ms();
  std::this_thread::sleep_for(ms(200));
  const double burnt = process_cpu_ms() - before;
  std::printf("[ cost     ] processor time during a 200 ms idle sleep: %.3f ms\n", burnt);
  EXPECT_LT(burnt, 20.0);
}

TEST(WorkPoolCostTest, ReportsTheOverheadOfA4096ElementRun) {
  WorkPool& pool = WorkPool::global();
  constexpr std::size_t kN = 4096;
  constexpr int kWarmCalls = 20000;
  constexpr int kColdCalls = 200;
  std::vector<std::size_t> sink(kN / 1024 + 1);
  auto body = [&](std::size_t begin, std::size_t end) { sink[begin / 1024] = end; };
  auto sequential = [&](std::size_t begin, std::size_t end) {
    for (std::size_t piece = begin; piece < end; piece += 1024) body(piece, piece + 1024);
  };

  Clock::time_point start = Clock::now();
  for (int call = 0; call < kWarmCalls; ++call) sequential(0, kN);
  const double sequential_us = micros_since(start) / kWarmCalls;

  start = Clock::now();
  for (int call = 0; call < kWarmCalls; ++call) pool.run_pieces(kN, 1024, body);
  const double warm_us = micros_since(start) / kWarmCalls;

  // Cold: each call finds the workers parked, as after a pause between calls.
  double cold_total_us = 0;
  for (int call = 0; call < kColdCalls; ++call) {
    std::this_thread::sleep_for(ms(2));
    start = Clock::now();
    pool.run_pieces(kN, 1024, body);
    cold_total_us += micros_since(start);
  }
  const double cold_us = cold_total_us / kColdCalls;

  std::printf("[ cost     ] run_pieces(4096, 1024) with %zu workers: back-to-back %.2f us/call, "
              "after idling %.2f us/call; sequential body %.3f us/call; overhead %.2f / %.2f us\n",
              pool.thread_count(), warm_us, cold_us, sequential_us, warm_us - sequential_us,
              cold_us - sequential_us);
  SUCCEED();
}

// The same run with a body of real work (a libm call per element), to show
// what the pool gains at the smallest size it is used for.
TEST(WorkPoolCostTest, ReportsTheTimeOfA4096ElementKernel) {
  WorkPool& pool = WorkPool::global();
  constexpr std::size_t kN = 4096;
  constexpr int kCalls = 2000;
  std::vector<double> input(kN);
  std::vector<double> output(kN);
  for (std::size_t i = 0; i < kN; ++i) input[i] = static_cast<double>(i) * 0.001;
  auto body = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) output[i] = std::sin(input[i]);
  };

  Clock::time_point start = Clock::now();
  for (int call = 0; call < kCalls; ++call) body(0, kN);
  const double sequential_us = micros_since(start) / kCalls;

  start = Clock::now();
  for (int call = 0; call < kCalls; ++call) pool.run_pieces(kN, 1024, body);
  const double pooled_us = micros_since(start) / kCalls;

  std::printf("[ cost     ] 4096 x sin: sequential %.2f us/call, run_pieces(4096, 1024) %.2f us/call\n",
              sequential_us, pooled_us);
  SUCCEED();
}

}  // namespace
}  // namespace bmx

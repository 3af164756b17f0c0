// What handing a run to the pool costs: the overhead of run_pieces at 4096
// elements (the smallest size the evaluator hands to the pool), back to back
// and after the workers parked, and the time of a 4096-element libm kernel on
// the calling thread and on the pool. Prints figures; asserts nothing.
//
// Build and run: `make bench`, or configure with -DBMX_BUILD_BENCH=ON and
// build the target bench_pool.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <thread>
#include <vector>

#include "pool/pool.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kN = 4096;
constexpr std::size_t kPiece = 1024;

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The cost of the hand-off alone: a body that does almost nothing.
void report_overhead(bmx::WorkPool& pool) {
  constexpr int kWarmCalls = 20000;
  constexpr int kColdCalls = 200;
  std::vector<std::size_t> sink(kN / kPiece + 1);
  const auto body = [&](std::size_t begin, std::size_t end) { sink[begin / kPiece] = end; };
  const auto sequential = [&](std::size_t begin, std::size_t end) {
    for (std::size_t piece = begin; piece < end; piece += kPiece) body(piece, piece + kPiece);
  };

  Clock::time_point start = Clock::now();
  for (int call = 0; call < kWarmCalls; ++call) sequential(0, kN);
  const double sequential_us = micros_since(start) / kWarmCalls;

  start = Clock::now();
  for (int call = 0; call < kWarmCalls; ++call) pool.run_pieces(kN, kPiece, body);
  const double warm_us = micros_since(start) / kWarmCalls;

  // Cold: each call finds the workers parked, as after a pause between calls.
  double cold_total_us = 0;
  for (int call = 0; call < kColdCalls; ++call) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    start = Clock::now();
    pool.run_pieces(kN, kPiece, body);
    cold_total_us += micros_since(start);
  }
  const double cold_us = cold_total_us / kColdCalls;

  std::printf("run_pieces(4096, 1024) with %zu workers: back-to-back %.2f us/call, after idling %.2f us/call; "
              "sequential body %.3f us/call; overhead %.2f / %.2f us\n",
              pool.thread_count(), warm_us, cold_us, sequential_us, warm_us - sequential_us,
              cold_us - sequential_us);
}

// The same size with real work (a libm call per element): what the pool gains
// at the smallest size it is used for.
void report_kernel(bmx::WorkPool& pool) {
  constexpr int kCalls = 2000;
  std::vector<double> input(kN);
  std::vector<double> output(kN);
  for (std::size_t i = 0; i < kN; ++i) input[i] = static_cast<double>(i) * 0.001;
  const auto body = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) output[i] = std::sin(input[i]);
  };

  Clock::time_point start = Clock::now();
  for (int call = 0; call < kCalls; ++call) body(0, kN);
  const double sequential_us = micros_since(start) / kCalls;

  start = Clock::now();
  for (int call = 0; call < kCalls; ++call) pool.run_pieces(kN, kPiece, body);
  const double pooled_us = micros_since(start) / kCalls;

  std::printf("4096 x sin: sequential %.2f us/call, run_pieces(4096, 1024) %.2f us/call\n", sequential_us,
              pooled_us);
}

}  // namespace

int main() {
  bmx::WorkPool& pool = bmx::WorkPool::global();
  report_overhead(pool);
  report_kernel(pool);
  return 0;
}

// Idle workers park: once a run is over they burn no processor time. The
// check counts processor time, not wall time, and a worker's spin before it
// parks is bounded in steps, so a loaded machine does not change the outcome.
#include <time.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "pool/pool.h"
#include "pool_test_support.h"

namespace bmx {
namespace {

using pool_test::ms;

double process_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

TEST(WorkPoolIdleTest, IdleWorkersBurnNoProcessorTime) {
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
  std::printf("[ idle     ] processor time during a 200 ms idle sleep: %.3f ms\n", burnt);
  EXPECT_LT(burnt, 20.0);
}

}  // namespace
}  // namespace bmx

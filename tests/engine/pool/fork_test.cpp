// A forked child gets a working pool of its own, even when the parent's pool
// was busy at the moment of the fork.
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pool/pool.h"
#include "pool_test_support.h"

// ThreadSanitizer refuses to start threads in the child of a multithreaded
// process unless told to carry on; the child here is exactly such a process.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }

namespace bmx {
namespace {

using pool_test::HitCounter;
using pool_test::kChildCorrect;
using pool_test::ms;
using pool_test::wait_for_child;

constexpr int kChildReusedThePool = 2;
constexpr int kChildMissedIndices = 3;

/// In the child: use the pool and report by exit status; never returns.
[[noreturn]] void child_uses_pool(const WorkPool* parent_pool) {
  WorkPool& pool = WorkPool::global();
  if (&pool == parent_pool) _exit(kChildReusedThePool);
  for (int round = 0; round < 20; ++round) {
    constexpr std::size_t kN = 1 << 16;
    HitCounter hits(kN);
    pool.run_pieces(kN, 1024, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
    if (hits.first_wrong() != kN) _exit(kChildMissedIndices);
  }
  _exit(kChildCorrect);
}

void fork_and_check(const WorkPool* parent_pool) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) child_uses_pool(parent_pool);
  const int status = wait_for_child(child);
  ASSERT_NE(status, -1) << "the child hung";
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kChildCorrect);
}

TEST(WorkPoolForkTest, ChildOfAnIdlePoolGetsAFreshPool) {
  WorkPool& pool = WorkPool::global();
  HitCounter hits(100000);
  pool.run_pieces(100000, 1024, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
  ASSERT_EQ(hits.first_wrong(), 100000u);
  fork_and_check(&pool);
  // The parent's pool is untouched by the fork.
  HitCounter again(100000);
  WorkPool::global().run_pieces(100000, 1, [&](std::size_t begin, std::size_t end) { again.visit(begin, end); });
  EXPECT_EQ(again.first_wrong(), 100000u);
  EXPECT_EQ(&WorkPool::global(), &pool);
}

TEST(WorkPoolForkTest, ChildOfABusyPoolGetsAFreshPool) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer's own runtime can deadlock in the child of a fork taken
  // while other threads are inside it; the Release and ASan runs cover this.
  GTEST_SKIP() << "fork of a busy process under ThreadSanitizer";
#endif
  WorkPool& pool = WorkPool::global();
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) {
      pool.run_pieces(1 << 16, 1, [](std::size_t, std::size_t) { std::this_thread::yield(); });
    }
  });
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(ms(3));
    fork_and_check(&pool);
  }
  stop.store(true);
  busy.join();
}

// The child keeps its parent's thread setting and can change it; either way
// it builds pools of its own.
TEST(WorkPoolForkTest, ChildKeepsAndChangesTheThreadSetting) {
  const std::size_t initial = WorkPool::set_num_threads(3);
  WorkPool& parent_pool = WorkPool::global();
  ASSERT_EQ(parent_pool.thread_count(), 2u);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (WorkPool::num_threads() != 3 || WorkPool::global().thread_count() != 2) _exit(1);
    if (WorkPool::set_num_threads(5) != 3 || WorkPool::global().thread_count() != 4) _exit(1);
    child_uses_pool(&parent_pool);
  }
  const int status = wait_for_child(child);
  (void)WorkPool::set_num_threads(initial);
  ASSERT_NE(status, -1) << "the child hung";
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kChildCorrect);
}

}  // namespace
}  // namespace bmx

// The pool's threads follow its size: growing starts them, shrinking ends
// them, and a growth the system refuses leaves the previous size in place.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>

#include "pool/pool.h"
#include "pool_test_support.h"

namespace bmx {
namespace {

using pool_test::HitCounter;
using pool_test::kChildCorrect;
using pool_test::wait_for;
using pool_test::wait_for_child;

/// The threads of this process, and how many of them are pool workers.
struct ThreadCensus {
  std::size_t all = 0;
  std::size_t workers = 0;
};

ThreadCensus take_census() {
  ThreadCensus census;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return census;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    ++census.all;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == WorkPool::kThreadName) ++census.workers;
  }
  closedir(tasks);
  return census;
}

bool workers_settle_at(std::size_t count) {
  return wait_for([&] { return take_census().workers == count; });
}

bool global_run_covers(std::size_t n) {
  HitCounter hits(n);
  WorkPool::global().run_pieces(n, 64, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
  return hits.first_wrong() == n;
}

// However the setting moves, only the largest count's workers may remain,
// and lowering it ends the surplus.
TEST(WorkPoolResizeTest, ASweepOfSettingsKeepsAtMostTheLargestCount) {
  // The first thread started may bring a sanitizer runtime's own thread
  // along, so the census of other threads is taken after one.
  const std::size_t initial = WorkPool::set_num_threads(2);
  (void)WorkPool::set_num_threads(1);
  ASSERT_TRUE(workers_settle_at(0));
  const std::size_t others = take_census().all;
  for (std::size_t n = 1; n <= 50; ++n) {
    (void)WorkPool::set_num_threads(n);
    // Growth starts the threads before it returns, and nothing retires.
    EXPECT_EQ(take_census().workers, n - 1);
    EXPECT_TRUE(global_run_covers(100000)) << n;
  }
  EXPECT_EQ(take_census().all, others + 49);
  // Alternating extremes: a slot gets a new thread only once its old one
  // retired, so the count comes back to exactly 49 (a retired thread may
  // linger in the census for a moment while it ends).
  for (std::size_t round = 0; round < 50; ++round) {
    (void)WorkPool::set_num_threads(round % 2 == 0 ? 1 : 50);
    EXPECT_TRUE(global_run_covers(100000)) << round;
  }
  EXPECT_TRUE(wait_for([&] { return take_census().all == others + 49; }));
  (void)WorkPool::set_num_threads(3);
  EXPECT_TRUE(workers_settle_at(2));
  (void)WorkPool::set_num_threads(1);
  EXPECT_TRUE(workers_settle_at(0));
  EXPECT_EQ(take_census().all, others);
  (void)WorkPool::set_num_threads(initial);
  EXPECT_EQ(take_census().workers, initial - 1);
}

TEST(WorkPoolResizeTest, AnOwnPoolStartsAndEndsItsThreads) {
  const std::size_t global_workers = WorkPool::global().thread_count();
  ASSERT_TRUE(workers_settle_at(global_workers));
  {
    WorkPool pool(0);
    EXPECT_EQ(take_census().workers, global_workers);
    pool.resize(6);
    EXPECT_EQ(pool.thread_count(), 6u);
    EXPECT_EQ(take_census().workers, global_workers + 6);
    pool.resize(2);
    EXPECT_EQ(pool.thread_count(), 2u);
    EXPECT_TRUE(workers_settle_at(global_workers + 2));
    pool.resize(5);
    EXPECT_EQ(take_census().workers, global_workers + 5);
    HitCounter hits(100000);
    pool.run_pieces(100000, 1, [&](std::size_t begin, std::size_t end) { hits.visit(begin, end); });
    EXPECT_EQ(hits.first_wrong(), 100000u);
  }
  EXPECT_TRUE(workers_settle_at(global_workers));
}

/// The address space this process uses now, in bytes.
std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

constexpr int kChildGrewAnyway = 2;
constexpr int kChildWrongError = 3;
constexpr int kChildLostTheSetting = 4;
constexpr int kChildKeptTheThreads = 5;
constexpr int kChildRunFailed = 6;

/// In the child: a capped address space leaves no room for 199 thread
/// stacks; report by exit status, never return.
[[noreturn]] void child_outgrows_its_address_space() {
  (void)WorkPool::set_num_threads(3);
  if (!global_run_covers(100000)) _exit(kChildRunFailed);
  rlimit uncapped{};
  if (getrlimit(RLIMIT_AS, &uncapped) != 0) _exit(kChildRunFailed);
  rlimit cap = uncapped;
  cap.rlim_cur = address_space_in_use() + (32u << 20);
  if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(kChildRunFailed);
  try {
    (void)WorkPool::set_num_threads(200);
    _exit(kChildGrewAnyway);
  } catch (const std::system_error& error) {
    if (std::string(error.what()).rfind("cannot start a work pool thread: ", 0) != 0) _exit(kChildWrongError);
  }
  // The checks below need memory of their own.
  if (setrlimit(RLIMIT_AS, &uncapped) != 0) _exit(kChildRunFailed);
  if (WorkPool::num_threads() != 3 || WorkPool::global().thread_count() != 2) _exit(kChildLostTheSetting);
  // The threads started before the refusal retire.
  if (!workers_settle_at(2)) _exit(kChildKeptTheThreads);
  if (!global_run_covers(100000)) _exit(kChildRunFailed);
  _exit(kChildCorrect);
}

TEST(WorkPoolResizeTest, ARefusedGrowthKeepsThePreviousSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtimes map memory of their own, which a capped
  // address space refuses.
  GTEST_SKIP() << "address space cap under a sanitizer";
#endif
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) child_outgrows_its_address_space();
  const int status = wait_for_child(child);
  ASSERT_NE(status, -1) << "the child hung";
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kChildCorrect);
}

}  // namespace
}  // namespace bmx

// PerProcess: one instance per process, made once even when first uses race,
// retried after a failed creation, and made anew in a forked child.
#include "per_process.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bmx {
namespace {

using namespace std::chrono_literals;

// Each test uses its own type, since the instance is per type.
struct Raced {};
struct Retried {};
struct Forked {};

TEST(PerProcessTest, RacingFirstUsesMakeOneInstance) {
  std::atomic<int> made{0};
  std::atomic<bool> go{false};
  std::vector<Raced*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = &PerProcess<Raced>::get([&] {
        made.fetch_add(1);
        return std::make_unique<Raced>();
      });
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(made.load(), 1);
  for (Raced* instance : seen) EXPECT_EQ(instance, seen[0]);
  EXPECT_EQ(&PerProcess<Raced>::get([] { return std::make_unique<Raced>(); }), seen[0]);
}

TEST(PerProcessTest, FailedCreationKeepsNothingAndIsRetried) {
  EXPECT_THROW(PerProcess<Retried>::get([]() -> std::unique_ptr<Retried> { throw std::runtime_error("no"); }),
               std::runtime_error);
  int made = 0;
  Retried& first = PerProcess<Retried>::get([&] {
    ++made;
    return std::make_unique<Retried>();
  });
  Retried& second = PerProcess<Retried>::get([&] {
    ++made;
    return std::make_unique<Retried>();
  });
  EXPECT_EQ(made, 1);
  EXPECT_EQ(&first, &second);
}

// Exit codes of the child.
constexpr int kChildMadeItsOwn = 0;
constexpr int kChildReusedTheParents = 2;
constexpr int kChildMadeTwo = 3;

[[noreturn]] void child_gets_instance(const Forked* parents) {
  int made = 0;
  const auto make = [&] {
    ++made;
    return std::make_unique<Forked>();
  };
  Forked& own = PerProcess<Forked>::get(make);
  if (&own == parents) _exit(kChildReusedTheParents);
  if (&PerProcess<Forked>::get(make) != &own || made != 1) _exit(kChildMadeTwo);
  _exit(kChildMadeItsOwn);
}

TEST(PerProcessTest, ForkedChildMakesItsOwnAndTheParentKeepsIts) {
  Forked& parents = PerProcess<Forked>::get([] { return std::make_unique<Forked>(); });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) child_gets_instance(&parents);

  const auto until = std::chrono::steady_clock::now() + 60s;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the child hung";
    }
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kChildMadeItsOwn);
  EXPECT_EQ(&PerProcess<Forked>::get([] { return std::make_unique<Forked>(); }), &parents);
}

}  // namespace
}  // namespace bmx

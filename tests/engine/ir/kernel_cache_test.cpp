// The compile cache: hits, separate entries, shared buckets, racing first
// users, and poisoning by a writer that fails.
#include "ir/kernel_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "internal_failure.h"
#include "tree_builders.h"

namespace {

// Allocation fault injection for this test binary. After arm(n, action) the
// n-th allocation made on the same thread (0 = the next one) first runs
// `action`, which may throw. Disarmed, operator new is plain malloc.
struct AllocationHook {
  long countdown = -1;
  void (*action)() = nullptr;
};
thread_local AllocationHook allocation_hook;

void arm(long n, void (*action)()) { allocation_hook = {n, action}; }
void disarm() { allocation_hook = {}; }
void throw_bad_alloc() { throw std::bad_alloc(); }

}  // namespace

// GCC flags free() in a replaced operator delete as mismatched once inlined
// into a new-expression's cleanup, although the pair is malloc/free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  AllocationHook& hook = allocation_hook;
  if (hook.countdown >= 0 && hook.countdown-- == 0) {
    void (*action)() = hook.action;
    hook = {};
    action();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace bmx {
namespace {

using namespace ir_test;

// x * c + y, compiled flat.
ExprTree scaled_sum(double c, BinaryOp op = BinaryOp::Add, std::uint64_t x = 0, std::uint64_t y = 1) {
  return ExprTree::binary(op, ExprTree::binary(BinaryOp::Mul, arg(x), num(c)), arg(y));
}

// A left-nested chain of `length` additions of c to slot 0.
ExprTree chain(std::size_t length, double c) {
  std::vector<ExprNode> nodes{ExprNode{NodeTag::ArgRef, 0, 0, 0}};
  for (std::size_t i = 0; i < length; ++i) {
    nodes.push_back(ExprNode{NodeTag::Const, 0, 0, std::bit_cast<std::uint64_t>(c)});
    nodes.push_back(ExprNode{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Add), 0, 0});
  }
  return ExprTree::from_post_order(std::move(nodes));
}

// The kernel compiles `tree` (compared by content, not identity).
void expect_kernel_of(const CompiledKernelRef& kernel, const ExprTree& tree) {
  ASSERT_NE(kernel, nullptr);
  const CompiledKernel expected = compile_kernel(tree);
  ASSERT_EQ(kernel->index(), expected.index());
  if (const auto* flat = std::get_if<FlatKernel>(kernel.get())) {
    EXPECT_EQ(flat->instrs, std::get<FlatKernel>(expected).instrs);
    EXPECT_EQ(flat->max_depth, std::get<FlatKernel>(expected).max_depth);
  } else {
    EXPECT_EQ(std::get<TreeKernel>(*kernel).tree, tree);
  }
}

// Runs body(i) on `count` threads and joins them. Threads still running after
// the deadline end the process at once, so a deadlock fails this test instead
// of hanging it.
template <class Body>
void run_on_threads(int count, Body body) {
  std::mutex mutex;
  std::condition_variable all_done;
  int finished = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      body(i);
      const std::scoped_lock lock(mutex);
      ++finished;
      all_done.notify_all();
    });
  }
  {
    std::unique_lock lock(mutex);
    if (!all_done.wait_for(lock, std::chrono::seconds(30), [&] { return finished == count; })) {
      std::fprintf(stderr, "cache threads missed their deadline\n");
      std::_Exit(1);
    }
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(KernelCacheTest, SecondLookupHitsTheSameKernel) {
  KernelCache cache;
  const CompiledKernelRef first = cache.get_or_compile(scaled_sum(2.0));
  const CompiledKernelRef second = cache.get_or_compile(scaled_sum(2.0));
  EXPECT_EQ(first, second);
  expect_kernel_of(first, scaled_sum(2.0));
}

TEST(KernelCacheTest, StructuralDifferencesGetSeparateEntries) {
  KernelCache cache;
  const ExprTree variants[] = {
      scaled_sum(2.0),
      scaled_sum(3.0),
      scaled_sum(0.0),
      scaled_sum(-0.0),
      scaled_sum(2.0, BinaryOp::Sub),
      scaled_sum(2.0, BinaryOp::Add, 1, 0),
      ExprTree::select(arg(0), arg(1), num(2.0)),
      ExprTree::select(arg(0), num(2.0), arg(1)),
  };
  std::vector<CompiledKernelRef> kernels;
  for (const ExprTree& tree : variants) kernels.push_back(cache.get_or_compile(tree));
  for (std::size_t i = 0; i < kernels.size(); ++i) {
    expect_kernel_of(kernels[i], variants[i]);
    EXPECT_EQ(cache.get_or_compile(variants[i]), kernels[i]) << i;
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(kernels[i], kernels[j]) << i << " " << j;
  }
}

TEST(KernelCacheTest, CollidingKeysShareABucketAndFindTheirOwnKernels) {
  KernelCache cache([](const KernelKey&) { return std::uint64_t{42}; });
  const ExprTree trees[] = {scaled_sum(2.0), scaled_sum(-0.0), ExprTree::unary(UnaryOp::Neg, arg(0)), num(1.0)};
  std::vector<CompiledKernelRef> kernels;
  for (const ExprTree& tree : trees) kernels.push_back(cache.get_or_compile(tree));
  // Look up in reverse insertion order so a scan that stops at the first
  // entry of the bucket would be caught.
  for (std::size_t i = std::size(trees); i-- > 0;) {
    const CompiledKernelRef again = cache.get_or_compile(trees[i]);
    EXPECT_EQ(again, kernels[i]) << i;
    expect_kernel_of(again, trees[i]);
  }
}

TEST(KernelCacheTest, GlobalCacheIsOneInstance) {
  EXPECT_EQ(&KernelCache::global(), &KernelCache::global());
  const ExprTree tree = scaled_sum(1234.5);
  EXPECT_EQ(KernelCache::global().get_or_compile(tree), KernelCache::global().get_or_compile(tree));
}

TEST(KernelCacheTest, RacingFirstUsersAllGetTheFirstInsertedKernel) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    KernelCache cache;
    const ExprTree tree = chain(2000, round);
    std::vector<CompiledKernelRef> seen(kThreads);
    std::latch start(kThreads);
    run_on_threads(kThreads, [&](int i) {
      start.arrive_and_wait();
      seen[static_cast<std::size_t>(i)] = cache.get_or_compile(tree);
    });
    for (const CompiledKernelRef& kernel : seen) EXPECT_EQ(kernel, seen[0]) << round;
    EXPECT_EQ(cache.get_or_compile(tree), seen[0]);
    expect_kernel_of(seen[0], tree);
  }
}

TEST(KernelCacheTest, ConcurrentMixedLookupsStayConsistent) {
  constexpr int kThreads = 8;
  constexpr std::size_t kShapes = 16;
  // Three buckets for sixteen keys: lookups and insertions share buckets.
  KernelCache cache([](const KernelKey& key) { return fingerprint(key) % 3; });
  std::vector<std::vector<CompiledKernelRef>> seen(kThreads, std::vector<CompiledKernelRef>(kShapes));
  std::atomic<int> changed{0};
  run_on_threads(kThreads, [&](int i) {
    std::vector<CompiledKernelRef>& mine = seen[static_cast<std::size_t>(i)];
    for (std::size_t n = 0; n < 200; ++n) {
      const std::size_t shape = (n * 7 + static_cast<std::size_t>(i)) % kShapes;
      const CompiledKernelRef kernel = cache.get_or_compile(scaled_sum(static_cast<double>(shape)));
      if (mine[shape] == nullptr) mine[shape] = kernel;
      if (mine[shape] != kernel) ++changed;
    }
  });
  EXPECT_EQ(changed.load(), 0);
  for (std::size_t shape = 0; shape < kShapes; ++shape) {
    const ExprTree tree = scaled_sum(static_cast<double>(shape));
    const CompiledKernelRef kernel = cache.get_or_compile(tree);
    expect_kernel_of(kernel, tree);
    for (const std::vector<CompiledKernelRef>& mine : seen) EXPECT_EQ(mine[shape], kernel) << shape;
  }
}

// Probes get_or_compile on a fresh cache with the n-th allocation failing, for
// n = 0, 1, ... until a call succeeds. Returns the first n whose failure
// poisoned the cache (an allocation under the write lock), checking on the way
// that every failure leaves either a working cache or a poisoned one.
long first_poisoning_allocation(const ExprTree& tree) {
  long first = -1;
  for (long n = 0; n < 1000; ++n) {
    KernelCache cache;
    arm(n, throw_bad_alloc);
    try {
      CompiledKernelRef kernel = cache.get_or_compile(tree);
      disarm();
      expect_kernel_of(kernel, tree);
      return first;
    } catch (const std::bad_alloc&) {
      disarm();
    }
    try {
      expect_kernel_of(cache.get_or_compile(tree), tree);
      EXPECT_EQ(first, -1) << "allocation " << n << " after a poisoning one left the cache readable";
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.message(), "cache read lock poisoned");
      if (first == -1) first = n;
      // Poisoning is permanent.
      EXPECT_THROW((void)cache.get_or_compile(num(1.0)), InternalFailure);
    }
  }
  ADD_FAILURE() << "get_or_compile never completed";
  return first;
}

TEST(KernelCachePoisonTest, AWriterFailingUnderTheLockPoisonsTheCache) {
  EXPECT_GE(first_poisoning_allocation(scaled_sum(2.0)), 0);
}

// The cache a poisoning action below works on, the tree it inserts, and the
// allocation of that insertion that is made to fail.
KernelCache* poison_target = nullptr;
const ExprTree* poison_tree = nullptr;
long poison_at = -1;
bool poisoned_by_action = false;

void poison_target_cache() {
  arm(poison_at, throw_bad_alloc);
  try {
    (void)poison_target->get_or_compile(*poison_tree);
  } catch (const std::bad_alloc&) {
    poisoned_by_action = true;
  }
  disarm();
}

TEST(KernelCachePoisonTest, PoisoningWhileAnotherCallerCompilesFailsItsWrite) {
  // scaled_sum(5.0) has the same shape as scaled_sum(2.0), so on an empty cache
  // its allocations follow the same sequence.
  poison_at = first_poisoning_allocation(scaled_sum(2.0));
  ASSERT_GE(poison_at, 0);
  const ExprTree other_tree = scaled_sum(5.0);
  poison_tree = &other_tree;
  int read_failures = 0;
  int write_failures = 0;
  // Allocations before `poison_at` happen with no lock held, so the action may
  // take the lock itself.
  for (long n = 0; n < poison_at; ++n) {
    KernelCache cache;
    poison_target = &cache;
    poisoned_by_action = false;
    const ExprTree tree = scaled_sum(2.0);
    arm(n, poison_target_cache);
    try {
      (void)cache.get_or_compile(tree);
      ADD_FAILURE() << "lookup succeeded in a poisoned cache at allocation " << n;
    } catch (const InternalFailure& failure) {
      EXPECT_TRUE(poisoned_by_action);
      if (failure.message() == "cache read lock poisoned") {
        ++read_failures;
      } else {
        EXPECT_EQ(failure.message(), "cache write lock poisoned");
        ++write_failures;
      }
    }
    disarm();
  }
  poison_target = nullptr;
  poison_tree = nullptr;
  EXPECT_GE(read_failures, 1);
  EXPECT_GE(write_failures, 1);
}

}  // namespace
}  // namespace bmx

// The evaluate() driver against the reference engines, sequential and on the pool.
#include "eval/evaluate.h"

#include <gtest/gtest.h>

#include "eval_test_support.h"

namespace bmx {
namespace {

using eval_test::bits;

using eval_test::kLengths;
using eval_test::x_times_2_plus_y;

TEST(Evaluate, NothingToEvaluate) {
  const CompiledKernel compiled = compile_kernel(x_times_2_plus_y());
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec{}), 1.0};
  EXPECT_TRUE(evaluate(compiled, 0, slots).empty());
}

TEST(Evaluate, ScalarsBroadcastBesideOneBuffer) {
  const CompiledKernel compiled = compile_kernel(x_times_2_plus_y());
  for (const std::size_t n : {std::size_t{3}, std::size_t{5000}}) {
    F64Vec x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i);
    const std::vector<ArgSlot> slots{Buffer::from_f64_vec(std::move(x)), 0.25};
    const F64Vec values = evaluate(compiled, n, slots);
    ASSERT_EQ(values.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(values[i], 2.0 * static_cast<double>(i) + 0.25);
  }
}

// 4095 elements run on the calling thread, 4096 on the pool.
TEST(Evaluate, SequentialAndPoolSchedulesAgree) {
  for (const bool with_select : {false, true}) {
    std::mt19937_64 rng(with_select ? 11 : 12);
    const ExprTree tree = with_select ? eval_test::random_select_tree(rng, 8, 2) : eval_test::random_tree(rng, 8, 2, false);
    const std::vector<ArgSlot> slots = eval_test::random_slots(rng, 2, 4096);
    const CompiledKernel compiled = compile_kernel(tree);
    const F64Vec pooled = evaluate(compiled, 4096, slots);
    const F64Vec sequential = evaluate(compiled, 4095, eval_test::prefix_slots(slots, 4095));
    for (std::size_t i = 0; i < 4095; ++i) ASSERT_EQ(bits(sequential[i]), bits(pooled[i])) << i;
  }
}

TEST(Evaluate, RandomKernelsMatchTheReferenceEngines) {
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    std::mt19937_64 rng(9000 + seed);
    const bool with_select = seed % 2 == 1;
    const std::size_t slot_count = 1 + rng() % 3;
    const ExprTree tree = with_select ? eval_test::random_select_tree(rng, 1 + static_cast<int>(rng() % 10), slot_count)
                                      : eval_test::random_tree(rng, 1 + static_cast<int>(rng() % 12), slot_count, false);
    const CompiledKernel compiled = compile_kernel(tree);
    const FlatKernel reference = with_select ? FlatKernel{} : flatten(tree);
    const std::vector<ArgSlot> all = eval_test::random_slots(rng, slot_count, 10000);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const std::size_t n : kLengths) {
      const std::vector<ArgSlot> slots = eval_test::prefix_slots(all, n);
      const std::vector<SlotView> views = make_slot_views(slots);
      const F64Vec values = evaluate(compiled, n, slots);
      ASSERT_EQ(values.size(), n);
      std::vector<double> stack;
      for (std::size_t i = 0; i < n; ++i) {
        const double expected = with_select ? eval_tree(tree, tree.root_index(), i, slots, views)
                                            : eval_flat(reference, i, slots, views, stack);
        ASSERT_EQ(bits(values[i]), bits(expected)) << "n " << n << ", element " << i;
      }
    }
  }
}

}  // namespace
}  // namespace bmx

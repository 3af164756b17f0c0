// The per-element reference engines and the slot views they read.
#include "eval/reference_eval.h"

#include <gtest/gtest.h>

#include "eval_test_support.h"

namespace bmx {
namespace {

using eval_test::bits;
using eval_test::x_times_2_plus_y;

TEST(EvalFlat, RunsTheStackProgram) {
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec{1.0, -0.5, 4.0}), 1.5};
  const std::vector<SlotView> views = make_slot_views(slots);
  const FlatKernel kernel = flatten(x_times_2_plus_y());
  std::vector<double> stack;
  stack.reserve(kernel.max_depth);
  EXPECT_EQ(eval_flat(kernel, 0, slots, views, stack), 3.5);
  EXPECT_EQ(eval_flat(kernel, 1, slots, views, stack), 0.5);
  EXPECT_EQ(eval_flat(kernel, 2, slots, views, stack), 9.5);
  EXPECT_EQ(stack.capacity(), kernel.max_depth);
}

TEST(EvalFlat, BrokenPreconditionsAreInternalFailures) {
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec{1.0}), 1.5};
  const std::vector<SlotView> views = make_slot_views(slots);
  std::vector<double> stack;
  EXPECT_THROW(eval_flat(flatten(ExprTree::arg_ref(2)), 0, slots, views, stack), InternalFailure);
  EXPECT_THROW(eval_flat(flatten(ExprTree::arg_ref(0)), 1, slots, views, stack), InternalFailure);
  const std::vector<SlotView> no_views{std::nullopt, std::nullopt};
  EXPECT_THROW(eval_flat(flatten(ExprTree::arg_ref(0)), 0, slots, no_views, stack), InternalFailure);
  const FlatKernel underflow{{{InstrKind::ApplyUnary, 0, 0}}, 1};
  EXPECT_THROW(eval_flat(underflow, 0, slots, views, stack), InternalFailure);
  const FlatKernel empty{{}, 0};
  EXPECT_THROW(eval_flat(empty, 0, slots, views, stack), InternalFailure);
}

TEST(EvalTree, SelectChoosesByTheCondition) {
  const double nan = std::bit_cast<double>(0x7ff800000000abcdull);
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec{0.0, -0.0, nan, 3.0})};
  const std::vector<SlotView> views = make_slot_views(slots);
  const ExprTree tree = ExprTree::select(ExprTree::arg_ref(0), ExprTree::constant(1.0), ExprTree::constant(2.0));
  const std::vector<double> expected{2.0, 2.0, 1.0, 1.0};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(eval_tree(tree, tree.root_index(), i, slots, views), expected[i]);
  // A subtree evaluates on its own: node 0 is the condition.
  EXPECT_EQ(bits(eval_tree(tree, 0, 2, slots, views)), bits(nan));
  EXPECT_THROW(eval_tree(tree, 4, 0, slots, views), InternalFailure);
}

TEST(SlotViews, NonF64BuffersAreInternalFailures) {
  const std::vector<ArgSlot> slots{Buffer::with_layout({2}, DType::I64, F64Vec{1.0, 2.0})};
  try {
    (void)make_slot_views(slots);
    FAIL() << "expected an internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_NE(failure.message().find("as_f64_slice requires F64 dtype"), std::string::npos) << failure.message();
  }
}

}  // namespace
}  // namespace bmx

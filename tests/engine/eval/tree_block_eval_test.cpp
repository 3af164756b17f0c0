// The block tree walk against the per-element reference: values bit for bit,
// and exactly the node visits of a lazy per-element walk.
#include "eval/tree_block_eval.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "eval/block_loop.h"
#include "eval_test_support.h"
#include "tree_visits.h"

namespace bmx {
namespace {

using namespace eval_test;

TEST(TreeBlockEval, RandomTreesMatchEvalTreeBitwise) {
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    std::mt19937_64 rng(1000 + seed);
    const std::size_t slot_count = 1 + rng() % 4;
    const ExprTree tree = random_select_tree(rng, 2 + static_cast<int>(rng() % 11), slot_count);
    const std::vector<ArgSlot> slots = random_slots(rng, slot_count, kMaxLength);
    const std::vector<SlotView> views = make_slot_views(slots);
    const std::vector<double> expected = reference_values(tree, slots, views, kMaxLength);
    const TreeBlockProgram program(tree, slots, views, kMaxLength);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(tree.nodes().size()) + " nodes");
    expect_ranges(program, expected, rng);
  }
}

TEST(TreeBlockEval, EveryElementEntersExactlyTheNodesOfItsLazyEvaluation) {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(5000 + seed);
    const std::size_t slot_count = 1 + rng() % 3;
    const ExprTree tree = random_select_tree(rng, 2 + static_cast<int>(rng() % 7), slot_count);
    constexpr std::size_t kN = 1100;
    const std::vector<ArgSlot> slots = random_slots(rng, slot_count, kN);
    const std::vector<SlotView> views = make_slot_views(slots);
    const TreeBlockProgram program(tree, slots, views, kN);
    VisitCounter counter(tree.nodes().size(), kN);
    std::vector<double> out(kN);
    program.run(0, kN, out.data(), &counter);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (std::size_t i = 0; i < kN; ++i) {
      const std::vector<bool> expected = lazy_visits(tree, nullptr, i, slots, views);
      for (std::size_t node = 0; node < expected.size(); ++node) {
        ASSERT_EQ(counter.count(node, i), expected[node] ? 1 : 0) << "node " << node << ", element " << i;
      }
    }
  }
}

TEST(TreeBlockEval, SelectTakesThenOnNaNAndElseOnEitherZero) {
  const double nan = std::bit_cast<double>(0x7ff8000000000001ull);
  const F64Vec conditions{1.0, 0.0, -0.0, nan, -2.0};
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(conditions)};
  const std::vector<SlotView> views = make_slot_views(slots);
  const ExprTree tree = ExprTree::select(ExprTree::arg_ref(0), ExprTree::constant(10.0), ExprTree::constant(20.0));
  const TreeBlockProgram program(tree, slots, views, 5);
  std::vector<double> out(5);
  program.run(0, 5, out.data());
  EXPECT_EQ(out, (std::vector<double>{10.0, 20.0, 20.0, 10.0, 10.0}));
}

TEST(TreeBlockEval, PartitionSplitsByTheCondition) {
  const double nan = std::bit_cast<double>(0xfff8000000000007ull);
  const double condition[6] = {0.0, 1.0, -0.0, nan, 5.0, 0.0};
  std::uint32_t lists[6];
  EXPECT_EQ(partition_by_condition(condition, nullptr, 6, lists), 3u);
  EXPECT_EQ(std::vector<std::uint32_t>(lists, lists + 6), (std::vector<std::uint32_t>{1, 3, 4, 5, 2, 0}));

  const std::uint32_t offsets[3] = {0, 2, 4};
  std::uint32_t sublists[3];
  EXPECT_EQ(partition_by_condition(condition, offsets, 3, sublists), 1u);
  EXPECT_EQ(std::vector<std::uint32_t>(sublists, sublists + 3), (std::vector<std::uint32_t>{4, 2, 0}));
}

// Chains nested on either side of binary nodes need one temporary, so even
// a very long chain keeps full blocks; nested Selects shorten blocks instead
// of exhausting memory.
TEST(TreeBlockEval, WorkspaceStaysBoundedForLongChains) {
  constexpr std::size_t kLevels = 5000;
  F64Vec data(600);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = i % 3 == 0 ? 0.0 : 1.5;
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(std::move(data))};
  const std::vector<SlotView> views = make_slot_views(slots);
  const ExprNode x{NodeTag::ArgRef, 0, 0, 0};
  const ExprNode one{NodeTag::Const, 0, 0, std::bit_cast<std::uint64_t>(1.0)};
  const ExprNode neg{NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Neg), 0, 0};
  const ExprNode add{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Add), 0, 0};
  const ExprNode select{NodeTag::Select, 0, 0, 0};
  const std::vector<ExprNode> where_x{x, x, one, select};

  // -x + (-x + (... + where(x, x, 1))).
  std::vector<ExprNode> right;
  for (std::size_t k = 0; k < kLevels; ++k) right.insert(right.end(), {x, neg});
  right.insert(right.end(), where_x.begin(), where_x.end());
  right.insert(right.end(), kLevels, add);
  // ((where(x, x, 1) + -x) + -x) + ...
  std::vector<ExprNode> left = where_x;
  for (std::size_t k = 0; k < kLevels; ++k) left.insert(left.end(), {x, neg, add});
  // where(x, 1, where(x, 1, ... where(x, 1, x))).
  std::vector<ExprNode> nested;
  for (std::size_t k = 0; k < kLevels; ++k) nested.insert(nested.end(), {x, one});
  nested.push_back(x);
  nested.insert(nested.end(), kLevels, select);

  const ExprTree right_chain = ExprTree::from_post_order(right);
  const ExprTree left_chain = ExprTree::from_post_order(left);
  const ExprTree select_chain = ExprTree::from_post_order(nested);
  EXPECT_EQ(TreeBlockProgram(right_chain, slots, views, 600).block_length(), kBlockLength);
  EXPECT_EQ(TreeBlockProgram(left_chain, slots, views, 600).block_length(), kBlockLength);
  const std::size_t select_block = TreeBlockProgram(select_chain, slots, views, 600).block_length();
  EXPECT_LT(select_block, kBlockLength);
  EXPECT_LE(select_block * kLevels * sizeof(std::uint32_t), kBlockWorkspaceBytes);

  for (const ExprTree* tree : {&right_chain, &left_chain, &select_chain}) {
    const TreeBlockProgram program(*tree, slots, views, 600);
    expect_range(program, reference_values(*tree, slots, views, 600), 0, 600);
  }
}

// A tree that is one compare-select loop over leaves keeps no values of its
// own and takes its whole range as one block, also into the memory of its
// own operand; other trees take blocks that fit their workspace. All give the
// reference's bits.
TEST(TreeBlockEval, OneLoopTreesTakeTheirWholeRangeAsOneBlock) {
  constexpr std::size_t kLength = 3000;
  std::mt19937_64 rng(12);
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(random_values(rng, kLength)), 0.5};
  const std::vector<SlotView> views = make_slot_views(slots);
  const ExprTree x = ExprTree::arg_ref(0), half = ExprTree::arg_ref(1), zero = ExprTree::constant(0.0);
  const auto where = [](CompareOp op, ExprTree l, ExprTree r, ExprTree then, ExprTree other) {
    return ExprTree::select(ExprTree::compare(op, std::move(l), std::move(r)), std::move(then), std::move(other));
  };
  const std::vector<std::pair<ExprTree, std::size_t>> cases{
      {where(CompareOp::Gt, x, zero, x, zero), kLength},
      {where(CompareOp::Le, x, half, half, x), kLength},
      {where(CompareOp::Gt, half, x, x, zero), kBlockLength},
      {where(CompareOp::Gt, x, zero, ExprTree::unary(UnaryOp::Neg, x), zero), kBlockLength},
  };
  for (const auto& [tree, block_length] : cases) {
    const TreeBlockProgram program(tree, slots, views, kLength);
    EXPECT_EQ(program.block_length(), block_length);
    const std::vector<double> expected = reference_values(tree, slots, views, kLength);
    expect_range(program, expected, 0, kLength);
    expect_range(program, expected, 3, kLength - 5);
    for (const std::size_t begin : {std::size_t{0}, std::size_t{3}}) {
      std::vector<double> values(views[0]->begin(), views[0]->begin() + kLength);
      const TreeBlockProgram in_place(tree, {{values.data(), 0.0}, {nullptr, 0.5}}, kLength);
      in_place.run(begin, kLength, values.data() + begin);
      for (std::size_t i = begin; i < kLength; ++i) ASSERT_EQ(bits(values[i]), bits(expected[i])) << "element " << i;
    }
  }
}

TEST(TreeBlockEval, BrokenPreconditionsAreInternalFailures) {
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec{1.0, 2.0})};
  const std::vector<SlotView> views = make_slot_views(slots);
  const ExprTree reads_slot_1 = ExprTree::select(ExprTree::arg_ref(1), ExprTree::arg_ref(0), ExprTree::arg_ref(0));
  EXPECT_THROW(TreeBlockProgram(reads_slot_1, slots, views, 2), InternalFailure);
  const ExprTree reads_slot_0 = ExprTree::select(ExprTree::arg_ref(0), ExprTree::arg_ref(0), ExprTree::arg_ref(0));
  EXPECT_THROW(TreeBlockProgram(reads_slot_0, slots, views, 3), InternalFailure);
  const TreeBlockProgram program(reads_slot_0, slots, views, 2);
  std::vector<double> out(3);
  EXPECT_THROW(program.run(1, 3, out.data()), InternalFailure);
}

}  // namespace
}  // namespace bmx

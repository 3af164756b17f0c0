// The evaluate() driver against the reference engines, sequential and on the pool.
#include "eval/evaluate.h"

#include <gtest/gtest.h>

#include "../small_stack.h"

#include <cstdio>
#include <cstdlib>

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

// Deep kernels run in a child process on a small stack, so native recursion
// anywhere would crash the child instead of the suite.
constexpr std::size_t kDeepNodes = 100000;

using bmx::test_support::require;
using bmx::test_support::run_on_small_stack;

ExprNode arg_node(std::uint64_t slot) { return {NodeTag::ArgRef, 0, 0, slot}; }
ExprNode const_node(double value) { return {NodeTag::Const, 0, 0, std::bit_cast<std::uint64_t>(value)}; }
ExprNode op_node(NodeTag tag, std::uint8_t op) { return {tag, op, 0, 0}; }

// Evaluates `tree` over n elements of x (slot 0) and y (slot 1) and checks
// sampled elements against the reference engine.
void check_deep(const ExprTree& tree, std::size_t n) {
  std::mt19937_64 rng(3);
  F64Vec x(n);
  // Mostly small integers, some large or negative ones.
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = static_cast<double>(rng() % 8 == 0 ? static_cast<int>(rng() % 40000) - 100 : static_cast<int>(rng() % 200));
  }
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(std::move(x)), Buffer::from_f64_vec(eval_test::random_values(rng, n))};
  const std::vector<SlotView> views = make_slot_views(slots);
  const CompiledKernel compiled = compile_kernel(tree);
  const F64Vec values = evaluate(compiled, n, slots);
  require(values.size() == n, "result length");
  std::vector<double> stack;
  const FlatKernel reference = std::holds_alternative<FlatKernel>(compiled) ? flatten(tree) : FlatKernel{};
  for (std::size_t i = 0; i < n; i += n / 16 + 1) {
    const double expected = std::holds_alternative<FlatKernel>(compiled)
                                ? eval_flat(reference, i, slots, views, stack)
                                : eval_tree(tree, tree.root_index(), i, slots, views);
    require(bits(values[i]) == bits(expected), "value matches the reference");
  }
}

// -abs(-(... sin(... x))), 100,000 deep, on the pool: mostly the cheap sign
// operators, with every other unary operator now and then.
void deep_unary_chain() {
  std::vector<ExprNode> nodes{arg_node(0)};
  for (std::size_t k = 0; nodes.size() < kDeepNodes; ++k) {
    const std::size_t op = k % 64 == 0 ? (k / 64) % std::size(kUnaryOps) : k % 2;
    nodes.push_back(op_node(NodeTag::Unary, static_cast<std::uint8_t>(op)));
  }
  check_deep(ExprTree::from_post_order(std::move(nodes)), 4100);
}

// y - (y - (... - x)): the flat stack is 50,000 deep.
void deep_right_chain() {
  std::vector<ExprNode> nodes(kDeepNodes / 2, arg_node(1));
  nodes.push_back(arg_node(0));
  nodes.insert(nodes.end(), kDeepNodes / 2, op_node(NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Sub)));
  check_deep(ExprTree::from_post_order(std::move(nodes)), 300);
}

// where(x == 0, 0, where(x == 1, 1, ... where(x == k, k, y))): every element
// walks down the else-branches until its own level, on the pool.
void deep_select_chain() {
  constexpr std::size_t kLevels = kDeepNodes / 5;
  std::vector<ExprNode> nodes;
  for (std::size_t k = 0; k < kLevels; ++k) {
    const double level = static_cast<double>(k);
    nodes.insert(nodes.end(), {arg_node(0), const_node(level),
                               op_node(NodeTag::Compare, static_cast<std::uint8_t>(CompareOp::Eq)), const_node(level)});
  }
  nodes.push_back(arg_node(1));
  nodes.insert(nodes.end(), kLevels, op_node(NodeTag::Select, 0));
  check_deep(ExprTree::from_post_order(std::move(nodes)), 4096);
}

// One operator around the chain built so far: the nodes of its other
// operands before and after the chain, and the operator itself.
struct Wrapper {
  std::vector<ExprNode> before;
  std::vector<ExprNode> after;
  ExprNode node;
};

// Every operator kind around one 100,000-deep path, the path running through
// Select conditions and then-branches and through both sides of binary nodes.
void deep_mixed_tree() {
  const auto code = [](auto op) { return static_cast<std::uint8_t>(op); };
  std::vector<Wrapper> wrappers;
  std::size_t total = 1;
  for (std::size_t k = 0; total < kDeepNodes; ++k) {
    switch (k % 6) {
      case 0: wrappers.push_back({{}, {}, op_node(NodeTag::Unary, code(UnaryOp::Neg))}); break;
      case 1: wrappers.push_back({{}, {arg_node(1)}, op_node(NodeTag::Compare, code(CompareOp::Lt))}); break;
      case 2: wrappers.push_back({{const_node(2.0)}, {}, op_node(NodeTag::Binary, code(BinaryOp::Mul))}); break;
      case 3: wrappers.push_back({{}, {arg_node(0), const_node(3.0)}, op_node(NodeTag::Select, 0)}); break;
      case 4: wrappers.push_back({{arg_node(1)}, {const_node(3.0)}, op_node(NodeTag::Select, 0)}); break;
      default: wrappers.push_back({{}, {arg_node(0)}, op_node(NodeTag::Binary, code(BinaryOp::Sub))}); break;
    }
    total += 1 + wrappers.back().before.size() + wrappers.back().after.size();
  }
  std::vector<ExprNode> nodes;
  nodes.reserve(total);
  for (auto outer = wrappers.rbegin(); outer != wrappers.rend(); ++outer) {
    nodes.insert(nodes.end(), outer->before.begin(), outer->before.end());
  }
  nodes.push_back(arg_node(0));
  for (const Wrapper& wrapper : wrappers) {
    nodes.insert(nodes.end(), wrapper.after.begin(), wrapper.after.end());
    nodes.push_back(wrapper.node);
  }
  check_deep(ExprTree::from_post_order(std::move(nodes)), 600);
}

class DeepKernelTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DeepKernelTest, UnaryChain) {
  EXPECT_EXIT((run_on_small_stack(deep_unary_chain), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepKernelTest, RightNestedChain) {
  EXPECT_EXIT((run_on_small_stack(deep_right_chain), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepKernelTest, SelectChain) {
  EXPECT_EXIT((run_on_small_stack(deep_select_chain), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepKernelTest, MixedTreeWithSelects) {
  EXPECT_EXIT((run_on_small_stack(deep_mixed_tree), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace bmx

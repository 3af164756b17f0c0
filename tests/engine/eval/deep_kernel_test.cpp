// Kernels 100,000 nodes deep evaluate without native recursion: each runs in
// a child process on a small stack, so recursion anywhere would crash the
// child instead of the suite.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <random>
#include <vector>

#include "../small_stack.h"
#include "eval/evaluate.h"
#include "eval_test_support.h"

namespace bmx {
namespace {

using eval_test::bits;

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

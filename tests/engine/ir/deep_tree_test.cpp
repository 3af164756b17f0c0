// Trees nested hundreds of thousands deep through every whole-tree operation.
// Each case runs in a child process on a thread with a small stack, so native
// recursion anywhere would crash that child rather than pass by luck or take
// the whole suite down.
#include <gtest/gtest.h>

#include "../small_stack.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "expr/expr.h"
#include "expr/expr_format.h"
#include "expr/shared_tree.h"
#include "ir/compiled_kernel.h"
#include "ir/expr_bytes.h"
#include "ir/kernel_cache.h"
#include "ir/kernel_key.h"

namespace bmx {
namespace {

constexpr std::size_t kDepth = 150000;

using bmx::test_support::require;
using bmx::test_support::run_on_small_stack;

ExprNode leaf_arg(std::uint64_t id) { return ExprNode{NodeTag::ArgRef, 0, 0, id}; }
ExprNode leaf_const(double value) { return ExprNode{NodeTag::Const, 0, 0, std::bit_cast<std::uint64_t>(value)}; }
ExprNode add_node() { return ExprNode{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Add), 0, 0}; }

// ((x + 1) + 1) + ... with kDepth additions.
ExprTree left_chain(std::uint64_t x) {
  std::vector<ExprNode> nodes{leaf_arg(x)};
  for (std::size_t i = 0; i < kDepth; ++i) {
    nodes.push_back(leaf_const(1.0));
    nodes.push_back(add_node());
  }
  return ExprTree::from_post_order(std::move(nodes));
}

// 1 + (1 + (... + x)) with kDepth additions.
ExprTree right_chain(std::uint64_t x) {
  std::vector<ExprNode> nodes(kDepth, leaf_const(1.0));
  nodes.push_back(leaf_arg(x));
  nodes.insert(nodes.end(), kDepth, add_node());
  return ExprTree::from_post_order(std::move(nodes));
}

// One operator around the chain built so far: the leaves that come before
// and after the chain among its children, and the operator node itself.
struct Wrapper {
  std::vector<ExprNode> before;
  std::vector<ExprNode> after;
  ExprNode node;
};

// The post-order of wrappers[n-1](... wrappers[0](innermost) ...): every
// "before" leaf of the outer wrappers precedes the inner chain.
ExprTree wrap(ExprNode innermost, const std::vector<Wrapper>& wrappers) {
  std::vector<ExprNode> nodes;
  for (auto outer = wrappers.rbegin(); outer != wrappers.rend(); ++outer) {
    nodes.insert(nodes.end(), outer->before.begin(), outer->before.end());
  }
  nodes.push_back(innermost);
  for (const Wrapper& wrapper : wrappers) {
    nodes.insert(nodes.end(), wrapper.after.begin(), wrapper.after.end());
    nodes.push_back(wrapper.node);
  }
  return ExprTree::from_post_order(std::move(nodes));
}

// Neg, Compare(Lt, chain, y), Abs and either Select(y, chain, 2.0) or
// chain * 2.0, repeated from x outwards: every operator kind on one path,
// with the chain as first, middle and only child.
ExprTree mixed_chain(std::uint64_t x, std::uint64_t y, bool with_select) {
  std::vector<Wrapper> wrappers;
  wrappers.reserve(kDepth);
  for (std::size_t i = 0; i < kDepth; ++i) {
    switch (i % 4) {
      case 0:
        wrappers.push_back({{}, {}, ExprNode{NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Neg), 0, 0}});
        break;
      case 1:
        wrappers.push_back(
            {{}, {leaf_arg(y)}, ExprNode{NodeTag::Compare, static_cast<std::uint8_t>(CompareOp::Lt), 0, 0}});
        break;
      case 2:
        wrappers.push_back({{}, {}, ExprNode{NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Abs), 0, 0}});
        break;
      case 3:
        if (with_select) {
          wrappers.push_back({{leaf_arg(y)}, {leaf_const(2.0)}, ExprNode{NodeTag::Select, 0, 0, 0}});
        } else {
          wrappers.push_back(
              {{}, {leaf_const(2.0)}, ExprNode{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Mul), 0, 0}});
        }
        break;
    }
  }
  return wrap(leaf_arg(x), wrappers);
}

std::string repeat(const std::string& text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

void exercise_left_chain() {
  const ExprTree tree = left_chain(7);
  {
    const ExprTree copy = tree;  // NOLINT(performance-unnecessary-copy-initialization)
    require(copy == tree, "copy");
  }
  const SharedTree shared = from_expr_tree(tree, {{7, "x"}});
  require(collect_temp_args(shared) == TempArgs{{7, "x"}}, "from_expr_tree + collect_temp_args");
  const ExprTree remapped = to_expr_tree(shared, {{7, 0}});
  require(remapped.nodes().size() == tree.nodes().size() && remapped.nodes()[0].payload == 0, "to_expr_tree");

  const std::string text = tree_text(remapped);
  require(text == repeat("Binary(Add, ", kDepth) + "ArgRef(0)" + repeat(", Const(1.0))", kDepth), "tree_text");

  const KernelKey key = build_kernel_key(remapped);
  require(key.ops.size() == 2 * kDepth + 1 && key.ops.front() == 30 && key.ops[kDepth] == 1 && key.ops.back() == 0,
          "kernel key ops");
  require(key.consts.size() == kDepth && key.arg_slots == std::vector<std::uint64_t>{0}, "kernel key payloads");
  (void)fingerprint(key);

  const FlatKernel flat = flatten(remapped);
  require(flat.instrs.size() == 2 * kDepth + 1 && flat.max_depth == 2, "flatten left chain");
  require(std::holds_alternative<FlatKernel>(compile_kernel(remapped)), "compile_kernel left chain");

  KernelCache cache;
  require(cache.get_or_compile(remapped) == cache.get_or_compile(remapped), "cache left chain");
}

void exercise_right_chain() {
  const ExprTree tree = right_chain(0);
  const FlatKernel flat = flatten(tree);
  require(flat.max_depth == kDepth + 1, "flatten right chain depth");
  const KernelKey key = build_kernel_key(tree);
  require(key.ops[2 * kDepth - 1] == 0 && key.ops.back() == 1, "kernel key right chain");
  require(tree_text(tree) == repeat("Binary(Add, Const(1.0), ", kDepth) + "ArgRef(0)" + repeat(")", kDepth),
          "tree_text right chain");
}

void exercise_expr_with_select() {
  const Expr expr{std::nullopt, from_expr_tree(mixed_chain(11, 5, true), {{5, "y"}, {11, "x"}})};
  const Expr rewritten = rewrite_args(expr, {{11, 12}});
  require(collect_temp_args(rewritten.tree) == TempArgs{{5, "y"}, {12, "x"}}, "rewrite_args");
  const Result<KernelSpec> spec = elementwise(rewritten);
  require(spec.ok() && spec.value().arg_names == std::vector<std::string>{"y", "x"}, "elementwise");
  const std::string repr = expr_repr(rewritten);
  require(repr.starts_with("Expr(Select(ArgRef(5), Unary(Abs, Compare(Lt, Unary(Neg, Select(ArgRef(5), "),
          "expr_repr prefix");
  require(repr.ends_with("ArgRef(5))), Const(2.0)))"), "expr_repr suffix");
  require(repr.find("Compare(Lt, Unary(Neg, ArgRef(12)), ArgRef(5))") != std::string::npos, "expr_repr innermost");
  const CompiledKernel compiled = compile_kernel(spec.value().tree);
  require(std::holds_alternative<TreeKernel>(compiled) && std::get<TreeKernel>(compiled).tree == spec.value().tree,
          "compile_kernel keeps the tree");
  const KernelKey key = build_kernel_key(spec.value().tree);
  require(key.ops.front() == 70 && key.ops[1] == 1 && key.ops[2] == 11, "kernel key select order");
}

void exercise_mixed_flat() {
  const ExprTree tree = mixed_chain(0, 1, false);
  const FlatKernel flat = flatten(tree);
  require(flat.instrs.size() == tree.nodes().size() && flat.max_depth == 2, "flatten mixed chain");
  require(collect_temp_args(from_expr_tree(tree, {{0, "x"}, {1, "y"}})) == TempArgs{{0, "x"}, {1, "y"}},
          "collect_temp_args mixed chain");
  require(!tree_text(tree).empty(), "tree_text mixed chain");
}

// e = -e, then e = y + e or e = e * x, kDepth times by the expression
// operators, as a Python loop builds it; every query, then the drop, of the
// only handle and of one shared with a second expression.
void exercise_operator_built_chain() {
  const Expr x = make_arg("x");
  const Expr y = make_arg("y");
  Expr e = x;
  for (std::size_t i = 0; i < kDepth; ++i) {
    e = unary_expr(UnaryOp::Neg, e);
    e = i % 2 == 0 ? binary_expr(BinaryOp::Add, y, e) : binary_expr(BinaryOp::Mul, e, x);
  }
  require(e.tree.root().tree_size() == 3 * kDepth + 1, "tree_size");
  require(collect_temp_args(e.tree).size() == 2, "collect_temp_args");
  const Expr moved = rewrite_args(e, {{x.tree.root().payload(), 1000000}});
  require(collect_temp_args(moved.tree).contains(1000000), "rewrite_args");
  const Result<KernelSpec> spec = elementwise(moved);
  require(spec.ok() && spec.value().tree.expanded_size() == 3 * kDepth + 1 &&
              spec.value().tree.nodes().size() == 2 * kDepth + 2,
          "elementwise");
  require(expr_repr(e).starts_with("Expr(Binary(Mul, Unary(Neg, Binary(Add, ArgRef("), "expr_repr");
  const Expr outer = select_expr(x, e, y);
  e = x;  // drops the chain's handle; `outer` still holds it
  require(to_expr_tree(outer.tree).nodes().size() == 3 * kDepth + 4, "shared chain after one drop");
}

// Both byte forms of deep trees, there and back.
void exercise_bytes() {
  const KernelSpec kernel{{"x"}, right_chain(0)};
  const Result<KernelSpec> decoded = decode_kernel(encode_kernel(kernel));
  require(decoded.ok() && decoded.value().tree == kernel.tree, "kernel bytes");
  const Expr expr{std::nullopt, from_expr_tree(mixed_chain(1, 2, true), {{1, "x"}, {2, "y"}})};
  const Result<Expr> copy = decode_expr(encode_expr(expr));
  require(copy.ok() && copy.value().tree.root().tree_size() == expr.tree.root().tree_size(), "expression bytes");
  const Result<KernelSpec> before = elementwise(expr);
  const Result<KernelSpec> after = elementwise(copy.value());
  require(before.ok() && after.ok() && before.value().tree == after.value().tree, "same kernel after bytes");
}

class DeepTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DeepTreeTest, LeftNestedChain) {
  EXPECT_EXIT((run_on_small_stack(exercise_left_chain), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepTreeTest, RightNestedChain) {
  EXPECT_EXIT((run_on_small_stack(exercise_right_chain), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepTreeTest, ExpressionWithSelectsAndEveryOperatorKind) {
  EXPECT_EXIT((run_on_small_stack(exercise_expr_with_select), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepTreeTest, ChainBuiltByOperatorsAndDropped) {
  EXPECT_EXIT((run_on_small_stack(exercise_operator_built_chain), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepTreeTest, BytesOfDeepTrees) {
  EXPECT_EXIT((run_on_small_stack(exercise_bytes), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeepTreeTest, FlatMixedChain) {
  EXPECT_EXIT((run_on_small_stack(exercise_mixed_flat), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace bmx

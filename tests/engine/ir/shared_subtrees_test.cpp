// Repeated subtrees: which nodes are computed once, and the programs that
// keep their values in temporaries.
#include "ir/shared_subtrees.h"

#include <gtest/gtest.h>

#include "../small_stack.h"

#include <bit>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "expr/shared_tree.h"
#include "internal_failure.h"
#include "ir/compiled_kernel.h"
#include "ir/flat_kernel.h"
#include "tree_builders.h"

namespace bmx {
namespace {

using namespace ir_test;

ExprTree sin_of(const ExprTree& x) { return ExprTree::unary(UnaryOp::Sin, x); }
ExprTree cos_of(const ExprTree& x) { return ExprTree::unary(UnaryOp::Cos, x); }

FlatInstr load(std::uint64_t slot) { return {InstrKind::LoadArg, 0, slot}; }
FlatInstr unary(UnaryOp op) { return {InstrKind::ApplyUnary, static_cast<std::uint8_t>(op), 0}; }
FlatInstr binary(BinaryOp op) { return {InstrKind::ApplyBinary, static_cast<std::uint8_t>(op), 0}; }
FlatInstr store_temp(std::uint64_t temp) { return {InstrKind::StoreTemp, 0, temp}; }
FlatInstr load_temp(std::uint64_t temp) { return {InstrKind::LoadTemp, 0, temp}; }

TEST(SharedSubtrees, SquareOfASum) {
  const ExprTree sum = add(arg(0), arg(1));
  const ExprTree tree = mul(sum, sum);
  const SubtreeSharing sharing = find_shared_subtrees(tree);
  using enum NodeRole;
  EXPECT_EQ(sharing.roles, (std::vector<NodeRole>{Plain, Plain, Compute, Skipped, Skipped, Reuse, Plain}));
  EXPECT_EQ(sharing.partner[5], 2u);
  EXPECT_EQ(sharing.partner[2], 0u);  // a kept node names no partner

  const FlatKernel kernel = flatten_sharing(tree);
  EXPECT_EQ(kernel.instrs, (std::vector<FlatInstr>{load(0), load(1), binary(BinaryOp::Add), store_temp(0),
                                                   load_temp(0), binary(BinaryOp::Mul)}));
  EXPECT_EQ(kernel.max_depth, 2u);
  EXPECT_EQ(kernel.temp_count, 1u);
}

TEST(SharedSubtrees, SinesAndCosinesEachComputedOnce) {
  const ExprTree s = sin_of(arg(0));
  const ExprTree c = cos_of(arg(0));
  const FlatKernel kernel = flatten_sharing(add(add(mul(s, s), mul(c, c)), s));
  // The sine is kept to the end; the cosine's temporary is free again once
  // its square has been taken.
  EXPECT_EQ(kernel.instrs,
            (std::vector<FlatInstr>{load(0), unary(UnaryOp::Sin), store_temp(0), load_temp(0), binary(BinaryOp::Mul),
                                    load(0), unary(UnaryOp::Cos), store_temp(1), load_temp(1), binary(BinaryOp::Mul),
                                    binary(BinaryOp::Add), load_temp(0), binary(BinaryOp::Add)}));
  EXPECT_EQ(kernel.max_depth, 3u);
  EXPECT_EQ(kernel.temp_count, 2u);
}

TEST(SharedSubtrees, TemporariesAreReusedOnlyAfterTheirLastUse) {
  const ExprTree s = sin_of(arg(0));
  const ExprTree c = cos_of(arg(0));
  const FlatKernel kernel = flatten_sharing(add(mul(s, s), mul(c, c)));
  EXPECT_EQ(kernel.instrs,
            (std::vector<FlatInstr>{load(0), unary(UnaryOp::Sin), store_temp(0), load_temp(0), binary(BinaryOp::Mul),
                                    load(0), unary(UnaryOp::Cos), store_temp(0), load_temp(0), binary(BinaryOp::Mul),
                                    binary(BinaryOp::Add)}));
  EXPECT_EQ(kernel.temp_count, 1u);
}

// A repeat of a subtree that itself holds repeats: only the outer one is
// kept, and nothing inside its second occurrence runs.
TEST(SharedSubtrees, RepeatsInsideARepeatAreSkipped) {
  const ExprTree s = sin_of(arg(0));
  const ExprTree square = mul(s, s);
  const FlatKernel kernel = flatten_sharing(add(square, square));
  EXPECT_EQ(kernel.instrs, (std::vector<FlatInstr>{load(0), unary(UnaryOp::Sin), store_temp(0), load_temp(0),
                                                   binary(BinaryOp::Mul), store_temp(1), load_temp(1),
                                                   binary(BinaryOp::Add)}));
  EXPECT_EQ(kernel.temp_count, 2u);
}

// x*y + (-(x*y) + (x-y)*(x-y)): the product's first value is still an
// operand on the stack, of the outer sum, after its repeat has been
// consumed, so its temporary must not take the difference.
TEST(SharedSubtrees, ATemporaryIsFreedOnlyOnceItsFirstValueIsConsumed) {
  const ExprTree product = mul(arg(0), arg(1));
  const ExprTree difference = ExprTree::binary(BinaryOp::Sub, arg(0), arg(1));
  const FlatKernel kernel =
      flatten_sharing(add(product, add(ExprTree::unary(UnaryOp::Neg, product), mul(difference, difference))));
  EXPECT_EQ(kernel.instrs,
            (std::vector<FlatInstr>{load(0), load(1), binary(BinaryOp::Mul), store_temp(0), load_temp(0),
                                    unary(UnaryOp::Neg), load(0), load(1), binary(BinaryOp::Sub), store_temp(1),
                                    load_temp(1), binary(BinaryOp::Mul), binary(BinaryOp::Add),
                                    binary(BinaryOp::Add)}));
  EXPECT_EQ(kernel.max_depth, 4u);
  EXPECT_EQ(kernel.temp_count, 2u);
}

// e = e * e: three instructions per product, whatever the expansion, two
// temporaries taking turns, and a stack two deep.
TEST(SharedSubtrees, SquaringChainsCompileFromTheirDistinctNodes) {
  for (const int steps : {1, 2, 22, 60, 1000}) {
    SharedTree e = SharedTree::arg_ref(0, "x");
    for (int i = 0; i < steps; ++i) e = SharedTree::binary(BinaryOp::Mul, e, e);
    const FlatKernel kernel = std::get<FlatKernel>(compile_kernel(ExprGraph::of(e)));
    ASSERT_EQ(kernel.instrs.size(), 3u * static_cast<std::size_t>(steps)) << steps;
    EXPECT_EQ(kernel.max_depth, 2u) << steps;
    EXPECT_EQ(kernel.temp_count, static_cast<std::uint64_t>(std::min(steps - 1, 2))) << steps;
    for (int k = 1; k < steps; ++k) {
      const std::uint64_t temp = static_cast<std::uint64_t>(k - 1) % 2;
      EXPECT_EQ(kernel.instrs[3 * static_cast<std::size_t>(k)], store_temp(temp)) << steps << " " << k;
      EXPECT_EQ(kernel.instrs[3 * static_cast<std::size_t>(k) + 1], load_temp(temp)) << steps << " " << k;
    }
  }
}

// Equal only when every constant has the same bits and every slot the same
// index; leaves alone are never kept.
TEST(SharedSubtrees, OnlyExactRepeatsAreShared) {
  const double nan_a = std::bit_cast<double>(0x7ff8000000000001ULL);
  const double nan_b = std::bit_cast<double>(0x7ff8000000000002ULL);
  const ExprTree distinct[] = {
      mul(add(arg(0), num(0.0)), add(arg(0), num(-0.0))),
      mul(add(arg(0), num(nan_a)), add(arg(0), num(nan_b))),
      mul(sin_of(arg(0)), sin_of(arg(1))),
      mul(sin_of(arg(0)), cos_of(arg(0))),
      ExprTree::compare(CompareOp::Lt, add(arg(0), arg(1)), add(arg(1), arg(0))),
      mul(add(arg(0), arg(0)), arg(0)),
  };
  for (const ExprTree& tree : distinct) {
    const FlatKernel kernel = flatten_sharing(tree);
    EXPECT_EQ(kernel.instrs, flatten(tree).instrs);
    EXPECT_EQ(kernel.temp_count, 0u);
  }
  const ExprTree same_nan = mul(add(arg(0), num(nan_a)), add(arg(0), num(nan_a)));
  EXPECT_EQ(flatten_sharing(same_nan).temp_count, 1u);
}

ExprTree where(const ExprTree& c, const ExprTree& t, const ExprTree& e) { return ExprTree::select(c, t, e); }

// A value kept before a Select serves repeats in its condition and in both
// branches.
TEST(SharedSubtrees, ValuesKeptOutsideABranchServeIt) {
  const ExprTree s = sin_of(arg(0));
  // where(sin(x) > 0, sin(x), sin(x) * sin(x))
  const ExprTree tree = where(ExprTree::compare(CompareOp::Gt, s, num(0.0)), s, mul(s, s));
  const SubtreeSharing sharing = find_shared_subtrees(tree);
  using enum NodeRole;
  EXPECT_EQ(sharing.roles,
            (std::vector<NodeRole>{Plain, Compute, Plain, Plain, Skipped, Reuse, Skipped, Reuse, Skipped, Reuse,
                                   Plain, Plain}));
  for (const std::size_t repeat : {5u, 7u, 9u}) EXPECT_EQ(sharing.partner[repeat], 1u);

  const CompiledKernel compiled = compile_kernel(tree);
  ASSERT_TRUE(std::holds_alternative<TreeKernel>(compiled));
  EXPECT_EQ(std::get<TreeKernel>(compiled).tree, tree);
  EXPECT_EQ(std::get<TreeKernel>(compiled).sharing.roles, sharing.roles);
  EXPECT_THROW((void)flatten_sharing(tree), InternalFailure);
}

// A value computed inside a branch is evaluated only for that branch's
// elements, so it serves repeats in that branch and nowhere else.
TEST(SharedSubtrees, ValuesKeptInABranchStayInIt) {
  const ExprTree r = ExprTree::unary(UnaryOp::Sqrt, arg(0));
  const ExprTree c = ExprTree::compare(CompareOp::Gt, arg(0), num(0.0));
  using enum NodeRole;
  // where(x > 0, sqrt(x) * sqrt(x), sqrt(x)): the else-branch computes its own.
  const SubtreeSharing in_branch = find_shared_subtrees(where(c, mul(r, r), r));
  EXPECT_EQ(in_branch.roles,
            (std::vector<NodeRole>{Plain, Plain, Plain, Plain, Compute, Skipped, Reuse, Plain, Plain, Plain, Plain}));
  // where(x > 0, sqrt(x), 1) + sqrt(x): the sum's operand computes its own.
  const SubtreeSharing after = find_shared_subtrees(add(where(c, r, num(1.0)), r));
  EXPECT_EQ(after.roles, (std::vector<NodeRole>{Plain, Plain, Plain, Plain, Plain, Plain, Plain, Plain, Plain,
                                                Plain}));
  // sqrt(x) + where(x > 0, sqrt(x), 1): the kept operand serves the branch.
  const SubtreeSharing before = find_shared_subtrees(add(r, where(c, r, num(1.0))));
  EXPECT_EQ(before.roles, (std::vector<NodeRole>{Plain, Compute, Plain, Plain, Plain, Skipped, Reuse, Plain, Plain,
                                                 Plain}));
  // where(x > 0, where(x > 1, sqrt(x), 0), sqrt(x) * sqrt(x)): nested
  // branches keep apart, and the else-branch's repeat uses its own value.
  const ExprTree nested = where(c, where(ExprTree::compare(CompareOp::Gt, arg(0), num(1.0)), r, num(0.0)), mul(r, r));
  const SubtreeSharing apart = find_shared_subtrees(nested);
  EXPECT_EQ(std::count(apart.roles.begin(), apart.roles.end(), Compute), 1);
  EXPECT_EQ(std::count(apart.roles.begin(), apart.roles.end(), Reuse), 1);
  EXPECT_EQ(apart.roles[apart.partner[nested.nodes().size() - 3]], Compute);
}

TEST(SharedSubtrees, CompileKernelUsesTheSharingProgram) {
  const ExprTree s = sin_of(arg(0));
  const ExprTree plain = mul(s, s);
  EXPECT_EQ(std::get<FlatKernel>(compile_kernel(plain)).instrs, flatten_sharing(plain).instrs);
}

// sin(x) + (sin(x) + (... + x)), 100,000 levels, in a child on a small stack:
// one sine computed, every other one read from the temporary.
void exercise_deep_repeats() {
  constexpr std::size_t kLevels = 100000;
  const ExprNode x{NodeTag::ArgRef, 0, 0, 0};
  const ExprNode sine{NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Sin), 0, 0};
  std::vector<ExprNode> nodes;
  for (std::size_t k = 0; k < kLevels; ++k) {
    nodes.push_back(x);
    nodes.push_back(sine);
  }
  nodes.push_back(x);
  nodes.insert(nodes.end(), kLevels, ExprNode{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Add), 0, 0});
  const FlatKernel kernel = flatten_sharing(ExprTree::from_post_order(std::move(nodes)));
  test_support::require(kernel.temp_count == 1 && kernel.max_depth == kLevels + 1, "deep repeats: temps and depth");
  test_support::require(kernel.instrs.size() == 3 + (kLevels - 1) + 1 + kLevels, "deep repeats: program length");
}

TEST(SharedSubtrees, DeepTreesNeedNoRecursion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((test_support::run_on_small_stack(exercise_deep_repeats), std::exit(0)), ::testing::ExitedWithCode(0),
              "");
}

}  // namespace
}  // namespace bmx

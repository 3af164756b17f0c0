// Shared expression nodes: sharing instead of copying, the size cap, the
// conversions to and from the post-order form, names, rewrites, and dropping.
#include "expr/shared_tree.h"

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "expr/expr.h"
#include "expr/expr_format.h"

namespace bmx {
namespace {

ExprTree sample_tree() {
  return ExprTree::select(ExprTree::compare(CompareOp::Gt, ExprTree::arg_ref(9), ExprTree::constant(-0.0)),
                          ExprTree::unary(UnaryOp::Neg, ExprTree::arg_ref(2)),
                          ExprTree::binary(BinaryOp::Pow, ExprTree::arg_ref(9), ExprTree::constant(2.5)));
}

TEST(SharedTreeTest, OperatorsShareTheirOperandsNodes) {
  const SharedTree x = SharedTree::arg_ref(1, "x");
  const SharedTree two = SharedTree::constant(2.0);
  const SharedTree product = SharedTree::binary(BinaryOp::Mul, x, two);
  const SharedTree sum = SharedTree::binary(BinaryOp::Add, product, x);
  ASSERT_EQ(sum.root().children().size(), 2u);
  EXPECT_TRUE(sum.root().children()[0].is_same_node(product));
  EXPECT_TRUE(sum.root().children()[1].is_same_node(x));
  EXPECT_TRUE(product.root().children()[0].is_same_node(x));
  EXPECT_EQ(sum.root().tree_size(), 5u);
  EXPECT_EQ(tree_text(to_expr_tree(sum)), "Binary(Add, Binary(Mul, ArgRef(1), Const(2.0)), ArgRef(1))");
}

TEST(SharedTreeTest, ExpressionOperatorsShareToo) {
  const Expr x = make_arg("x");
  Expr e = x;
  for (int i = 0; i < 3; ++i) {
    const Expr previous = e;
    e = binary_expr(BinaryOp::Add, e, x);
    EXPECT_TRUE(e.tree.root().children()[0].is_same_node(previous.tree));
    EXPECT_TRUE(e.tree.root().children()[1].is_same_node(x.tree));
  }
  EXPECT_TRUE(unary_expr(UnaryOp::Sin, e).tree.root().children()[0].is_same_node(e.tree));
  const Expr selected = select_expr(x, e, x);
  EXPECT_TRUE(selected.tree.root().children()[1].is_same_node(e.tree));
}

TEST(SharedTreeTest, ConversionsRoundTripEveryNodeKind) {
  const ExprTree tree = sample_tree();
  const SharedTree shared = from_expr_tree(tree, {{2, "b"}, {9, "a"}});
  EXPECT_EQ(shared.root().tree_size(), tree.nodes().size());
  EXPECT_EQ(to_expr_tree(shared), tree);
  EXPECT_EQ(collect_temp_args(shared), (TempArgs{{2, "b"}, {9, "a"}}));
  // Bit patterns of constants survive: -0.0 stays negative.
  EXPECT_EQ(tree_text(to_expr_tree(shared)),
            "Select(Compare(Gt, ArgRef(9), Const(-0.0)), Unary(Neg, ArgRef(2)), Binary(Pow, ArgRef(9), Const(2.5)))");
}

TEST(SharedTreeTest, ExpansionRenumbersOnlyMappedIds) {
  const SharedTree shared = from_expr_tree(
      ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(3), ExprTree::constant(3.0)), {{3, "x"}});
  EXPECT_EQ(to_expr_tree(shared, {{3, 8}}),
            ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(8), ExprTree::constant(3.0)));
  EXPECT_EQ(to_expr_tree(shared, {{4, 8}}), to_expr_tree(shared));
}

TEST(SharedTreeTest, TempArgsAreAscendingAndUnique) {
  const SharedTree tree = from_expr_tree(
      ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, ExprTree::arg_ref(9), ExprTree::constant(4.0)),
                       ExprTree::binary(BinaryOp::Sub, ExprTree::arg_ref(2), ExprTree::arg_ref(9))),
      {{2, "p"}, {9, "q"}});
  EXPECT_EQ(collect_temp_args(tree), (TempArgs{{2, "p"}, {9, "q"}}));
  EXPECT_TRUE(collect_temp_args(SharedTree::constant(1.0)).empty());
}

// Doubling a tree 31 times expands to 2^32 - 1 nodes, the most an ExprTree
// holds; built from shared nodes that is 32 nodes.
SharedTree doubled(const SharedTree& leaf, int times) {
  SharedTree tree = leaf;
  for (int i = 0; i < times; ++i) tree = SharedTree::binary(BinaryOp::Add, tree, tree);
  return tree;
}

// Larger trees build, their sizes saturating; only expanding them is refused.
TEST(SharedTreeTest, ExpandedSizeSaturatesAndOnlyExpandingIsCappedAtThirtyTwoBits) {
  const SharedTree largest = doubled(SharedTree::arg_ref(1, "x"), 31);
  EXPECT_EQ(largest.root().tree_size(), 4294967295u);
  const SharedTree beyond = SharedTree::binary(BinaryOp::Add, largest, largest);
  EXPECT_EQ(beyond.root().tree_size(), 8589934591u);
  EXPECT_THROW((void)to_expr_tree(beyond), std::bad_alloc);
  EXPECT_THROW((void)to_expr_tree(SharedTree::unary(UnaryOp::Neg, largest)), std::bad_alloc);
  const SharedTree widest = doubled(SharedTree::arg_ref(1, "x"), 63);
  EXPECT_EQ(widest.root().tree_size(), std::numeric_limits<std::uint64_t>::max());
  // One more node would wrap a 64-bit count to 0.
  EXPECT_EQ(SharedTree::unary(UnaryOp::Neg, widest).root().tree_size(), std::numeric_limits<std::uint64_t>::max());
}

// Walks over distinct nodes stay linear however much is shared (an expanding
// walk of this tree would not finish).
TEST(SharedTreeTest, NamesAndRewritesVisitEachSharedNodeOnce) {
  const SharedTree largest = doubled(SharedTree::arg_ref(1, "x"), 31);
  EXPECT_EQ(collect_temp_args(largest), (TempArgs{{1, "x"}}));
  const SharedTree moved = rewrite_leaves(largest, {{1, 5}}, {{5, "y"}});
  EXPECT_EQ(moved.root().tree_size(), largest.root().tree_size());
  EXPECT_EQ(collect_temp_args(moved), (TempArgs{{5, "y"}}));
  // The sharing survives: both operands of the root are one node.
  EXPECT_TRUE(moved.root().children()[0].is_same_node(moved.root().children()[1]));
}

TEST(SharedTreeTest, RewritesKeepUnchangedSubtrees) {
  const SharedTree x = SharedTree::arg_ref(1, "x");
  const SharedTree y = SharedTree::arg_ref(2, "y");
  const SharedTree left = SharedTree::binary(BinaryOp::Mul, x, SharedTree::constant(2.0));
  const SharedTree tree = SharedTree::binary(BinaryOp::Add, left, y);
  const SharedTree moved = rewrite_leaves(tree, {{2, 7}}, {{1, "x"}, {7, "y"}});
  EXPECT_TRUE(moved.root().children()[0].is_same_node(left));
  EXPECT_EQ(tree_text(to_expr_tree(moved)), "Binary(Add, Binary(Mul, ArgRef(1), Const(2.0)), ArgRef(7))");
  EXPECT_TRUE(rewrite_leaves(tree, {}, {{1, "x"}, {2, "y"}}).is_same_node(tree));
  // A new name alone is a change too.
  const SharedTree renamed = rewrite_leaves(tree, {}, {{1, "x"}, {2, "z"}});
  EXPECT_FALSE(renamed.is_same_node(tree));
  EXPECT_EQ(collect_temp_args(renamed), (TempArgs{{1, "x"}, {2, "z"}}));
}

TEST(SharedTreeTest, DroppingOneOwnerLeavesTheOthersIntact) {
  // Run under the sanitizers, a node freed too early is a use after free here.
  Expr kept = make_arg("x");
  {
    Expr e = kept;
    for (int i = 0; i < 1000; ++i) e = binary_expr(BinaryOp::Add, e, make_const(1.0));
    kept = unary_expr(UnaryOp::Neg, e);
  }
  Expr other = kept;
  kept = make_const(0.0);
  EXPECT_EQ(to_expr_tree(other.tree).nodes().size(), 2002u);
  EXPECT_TRUE(tree_text(to_expr_tree(other.tree)).starts_with("Unary(Neg, Binary(Add, Binary(Add, "));
}

TEST(SharedTreeTest, ThreadsDropHandlesToOneTreeAtOnce) {
  const Expr x = make_arg("x");
  Expr shared = x;
  for (int i = 0; i < 2000; ++i) shared = binary_expr(BinaryOp::Add, shared, x);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([copy = shared, x] {
      Expr mine = copy;
      for (int i = 0; i < 2000; ++i) mine = binary_expr(BinaryOp::Mul, mine, x);
    });
  }
  shared = make_const(0.0);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(collect_temp_args(x.tree).size(), 1u);
}

}  // namespace
}  // namespace bmx

// Graphs of distinct subtrees: one node per distinct subtree however the
// tree was shared, equal exactly for equal trees, and expansion.
#include "expr/expr_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <vector>

#include "expr/expr.h"
#include "expr/expr_format.h"

namespace bmx {
namespace {

// e = e * e, `steps` times from x: steps + 1 distinct nodes, 2^(steps+1) - 1
// expanded.
SharedTree squaring_chain(int steps) {
  SharedTree e = SharedTree::arg_ref(3, "x");
  for (int i = 0; i < steps; ++i) e = SharedTree::binary(BinaryOp::Mul, e, e);
  return e;
}

TEST(ExprGraphTest, EqualSubtreesAreOneNodeWhetherSharedOrCopied) {
  // (x + 1) * (x + 1) + x, once with one shared sum and once with copies.
  const ExprTree sum = ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(0), ExprTree::constant(1.0));
  const ExprTree copied = ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, sum, sum),
                                           ExprTree::arg_ref(0));
  const SharedTree x = SharedTree::arg_ref(0, "x");
  const SharedTree shared_sum = SharedTree::binary(BinaryOp::Add, x, SharedTree::constant(1.0));
  const SharedTree shared =
      SharedTree::binary(BinaryOp::Add, SharedTree::binary(BinaryOp::Mul, shared_sum, shared_sum), x);
  const ExprGraph graph(copied);
  EXPECT_EQ(ExprGraph::of(shared), graph);
  // Post-order of first occurrences: x, 1.0, x + 1, the product, the sum.
  const std::uint8_t add = static_cast<std::uint8_t>(BinaryOp::Add);
  const std::uint8_t mul = static_cast<std::uint8_t>(BinaryOp::Mul);
  const std::vector<GraphNode> expected{
      {NodeTag::ArgRef, 0, {0, 0, 0}, 0},
      {NodeTag::Const, 0, {0, 0, 0}, std::bit_cast<std::uint64_t>(1.0)},
      {NodeTag::Binary, add, {0, 1, 0}, 0},
      {NodeTag::Binary, mul, {2, 2, 0}, 0},
      {NodeTag::Binary, add, {3, 0, 0}, 0},
  };
  EXPECT_TRUE(std::ranges::equal(graph.nodes(), expected));
  EXPECT_EQ(graph.expanded_size(), copied.nodes().size());
  EXPECT_EQ(graph.expand(), copied);
}

TEST(ExprGraphTest, DifferentTreesGiveDifferentGraphs) {
  const auto tree = [](double c, BinaryOp op, std::uint64_t slot) {
    return ExprTree::binary(op, ExprTree::arg_ref(slot), ExprTree::constant(c));
  };
  const ExprTree variants[] = {
      tree(0.0, BinaryOp::Add, 0), tree(-0.0, BinaryOp::Add, 0), tree(0.0, BinaryOp::Sub, 0),
      tree(0.0, BinaryOp::Add, 1), ExprTree::binary(BinaryOp::Add, ExprTree::constant(0.0), ExprTree::arg_ref(0)),
  };
  for (std::size_t i = 0; i < std::size(variants); ++i) {
    for (std::size_t j = 0; j < std::size(variants); ++j) {
      EXPECT_EQ(ExprGraph(variants[i]) == ExprGraph(variants[j]), i == j) << i << " " << j;
    }
  }
}

TEST(ExprGraphTest, IdsAreRenumberedWhileHashConsing) {
  // x + y with both ids mapped to one slot: the two leaves become one node.
  const SharedTree sum = SharedTree::binary(BinaryOp::Add, SharedTree::arg_ref(4, "x"), SharedTree::arg_ref(9, "y"));
  const ExprGraph graph = ExprGraph::of(sum, {{4, 0}, {9, 0}});
  EXPECT_EQ(graph.nodes().size(), 2u);
  EXPECT_EQ(tree_text(graph.expand()), "Binary(Add, ArgRef(0), ArgRef(0))");
  EXPECT_EQ(tree_text(ExprGraph::of(sum, {{9, 1}}).expand()), "Binary(Add, ArgRef(4), ArgRef(1))");
}

TEST(ExprGraphTest, SquaringChainsAreLinearAndTheirSizesSaturate) {
  for (const int steps : {22, 60, 62, 63, 200}) {
    const ExprGraph graph = ExprGraph::of(squaring_chain(steps));
    EXPECT_EQ(graph.nodes().size(), static_cast<std::size_t>(steps) + 1) << steps;
    const std::uint64_t expected = steps >= 63 ? std::numeric_limits<std::uint64_t>::max()
                                               : (std::uint64_t{1} << (steps + 1)) - 1;
    EXPECT_EQ(graph.expanded_size(), expected) << steps;
  }
  const ExprGraph ten = ExprGraph::of(squaring_chain(10));
  const ExprTree expanded = ten.expand();
  EXPECT_EQ(expanded.nodes().size(), (std::size_t{1} << 11) - 1);
  EXPECT_EQ(ExprGraph(expanded), ten);
  // 2^32 - 1 nodes is the most an ExprTree holds.
  EXPECT_THROW((void)ExprGraph::of(squaring_chain(32)).expand(), std::bad_alloc);
  EXPECT_THROW((void)ExprGraph::of(squaring_chain(60)).expand(), std::bad_alloc);
}

TEST(ExprGraphTest, ElementwiseKeepsTheGraph) {
  const Expr x = make_arg("x");
  Expr e = x;
  for (int i = 0; i < 60; ++i) e = binary_expr(BinaryOp::Mul, e, e);
  const Result<KernelSpec> spec = elementwise(e);
  ASSERT_TRUE(spec.ok());
  EXPECT_EQ(spec.value().tree, ExprGraph::of(squaring_chain(60), {{3, 0}}));
  EXPECT_FALSE(contains_select(spec.value().tree));
  EXPECT_TRUE(contains_select(ExprGraph::of(select_expr(x, e, x).tree)));
}

}  // namespace
}  // namespace bmx

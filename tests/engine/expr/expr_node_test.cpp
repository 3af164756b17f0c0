// The post-order tree layout: construction, children and whole-tree queries.
#include "expr/expr_node.h"

#include <gtest/gtest.h>

#include "internal_failure.h"

namespace bmx {
namespace {

ExprNode leaf(std::uint64_t id) { return ExprNode{NodeTag::ArgRef, 0, 0, id}; }
ExprNode node(NodeTag tag, std::uint8_t op = 0) { return ExprNode{tag, op, 0, 0}; }

TEST(ExprTreeTest, FactoriesAndPostOrderConstructionAgree) {
  const ExprTree built = ExprTree::select(
      ExprTree::compare(CompareOp::Gt, ExprTree::arg_ref(1), ExprTree::arg_ref(2)),
      ExprTree::unary(UnaryOp::Neg, ExprTree::arg_ref(3)), ExprTree::arg_ref(4));
  const ExprTree from_nodes = ExprTree::from_post_order(
      {leaf(1), leaf(2), node(NodeTag::Compare, 0), leaf(3), node(NodeTag::Unary, 0), leaf(4), node(NodeTag::Select)});
  EXPECT_EQ(built, from_nodes);
  EXPECT_EQ(built.root().size, 7u);
  std::size_t children[3];
  ASSERT_EQ(child_indices(built.nodes(), built.root_index(), children), 3);
  EXPECT_EQ(children[0], 2u);
  EXPECT_EQ(children[1], 4u);
  EXPECT_EQ(children[2], 5u);
  ASSERT_EQ(child_indices(built.nodes(), 2, children), 2);
  EXPECT_EQ(children[0], 0u);
  EXPECT_EQ(children[1], 1u);
}

TEST(ExprTreeTest, MalformedPostOrderIsAnInternalFailure) {
  EXPECT_THROW(ExprTree::from_post_order({leaf(1), node(NodeTag::Binary)}), InternalFailure);
  EXPECT_THROW(ExprTree::from_post_order({leaf(1), leaf(2)}), InternalFailure);
  EXPECT_THROW(ExprTree::from_post_order({}), InternalFailure);
}

TEST(ExprTreeTest, SelectAnywhereIsFound) {
  const ExprTree deep_select = ExprTree::unary(
      UnaryOp::Sin, ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(0),
                                     ExprTree::select(ExprTree::arg_ref(0), ExprTree::constant(1.0),
                                                      ExprTree::constant(2.0))));
  EXPECT_TRUE(contains_select(deep_select));
  EXPECT_FALSE(contains_select(ExprTree::unary(UnaryOp::Sin, ExprTree::arg_ref(0))));
}

}  // namespace
}  // namespace bmx

// Building expressions, merging argument names, renumbering and dense slots.
#include "expr/expr.h"

#include <gtest/gtest.h>

#include "expr/expr_format.h"

namespace bmx {
namespace {

std::uint64_t id_of(const Expr& arg) { return arg.tree.root().payload(); }

// An expression whose leaves carry `temp_args`' names, as operators and
// rewrites can make them.
Expr with_names(const ExprTree& tree, const TempArgs& temp_args) {
  return Expr{std::nullopt, from_expr_tree(tree, temp_args)};
}

ExprTree tree_of(const Expr& expr) { return to_expr_tree(expr.tree); }
TempArgs temp_args_of(const Expr& expr) { return collect_temp_args(expr.tree); }

TEST(MakeArgTest, DrawsIncreasingIdsAndRecordsTheName) {
  const Expr x = make_arg("x");
  const Expr x_again = make_arg("x");
  EXPECT_LT(id_of(x), id_of(x_again));
  EXPECT_EQ(x.arg_name, "x");
  EXPECT_EQ(tree_of(x), ExprTree::arg_ref(id_of(x)));
  EXPECT_EQ(temp_args_of(x), (TempArgs{{id_of(x), "x"}}));
}

TEST(MakeConstTest, IsALeafWithoutArguments) {
  const Expr c = make_const(-1.0);
  EXPECT_FALSE(c.arg_name.has_value());
  EXPECT_EQ(tree_of(c), ExprTree::constant(-1.0));
  EXPECT_TRUE(temp_args_of(c).empty());
}

TEST(MergeTempArgsTest, RightWinsOnEqualIds) {
  const Expr left = with_names(ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(1), ExprTree::arg_ref(3)),
                               {{1, "a"}, {3, "c"}});
  const Expr right = with_names(ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(2), ExprTree::arg_ref(3)),
                                {{2, "b"}, {3, "z"}});
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Add, left, right)), (TempArgs{{1, "a"}, {2, "b"}, {3, "z"}}));
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Add, right, left)), (TempArgs{{1, "a"}, {2, "b"}, {3, "c"}}));
  const Expr d = with_names(ExprTree::arg_ref(4), {{4, "d"}});
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Add, make_const(1), d)), (TempArgs{{4, "d"}}));
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Add, d, make_const(1))), (TempArgs{{4, "d"}}));
}

TEST(MergeTempArgsTest, RightWinsThroughNestingAndSharedOperands) {
  const Expr left = with_names(ExprTree::arg_ref(1), {{1, "left"}});
  const Expr right = with_names(ExprTree::arg_ref(1), {{1, "right"}});
  const Expr both = binary_expr(BinaryOp::Add, left, right);
  // ((left + right) * left): the last leaf of id 1 is `left`'s.
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Mul, both, left)), (TempArgs{{1, "left"}}));
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Mul, left, both)), (TempArgs{{1, "right"}}));
  // The same node on both sides names the id the same way.
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Mul, both, both)), (TempArgs{{1, "right"}}));
  EXPECT_EQ(temp_args_of(select_expr(both, left, both)), (TempArgs{{1, "right"}}));
  EXPECT_EQ(temp_args_of(select_expr(both, both, left)), (TempArgs{{1, "left"}}));
}

TEST(OperatorExprTest, KeepsOperandOrderAndMergesLeftThenRight) {
  const Expr a = with_names(ExprTree::arg_ref(1), {{1, "left"}});
  const Expr b = with_names(ExprTree::arg_ref(1), {{1, "right"}});
  const Expr sum = binary_expr(BinaryOp::Sub, make_const(2), a);
  EXPECT_EQ(tree_of(sum), ExprTree::binary(BinaryOp::Sub, ExprTree::constant(2), ExprTree::arg_ref(1)));
  EXPECT_FALSE(sum.arg_name.has_value());
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Add, a, b)), (TempArgs{{1, "right"}}));
  EXPECT_EQ(temp_args_of(compare_expr(CompareOp::Lt, b, a)), (TempArgs{{1, "left"}}));
  EXPECT_EQ(tree_of(compare_expr(CompareOp::Lt, b, a)),
            ExprTree::compare(CompareOp::Lt, ExprTree::arg_ref(1), ExprTree::arg_ref(1)));
  const Expr neg = unary_expr(UnaryOp::Neg, make_arg("x"));
  EXPECT_FALSE(neg.arg_name.has_value());
  EXPECT_EQ(temp_args_of(neg).size(), 1u);
}

TEST(OperatorExprTest, SelectInsertsConditionThenTrueThenFalse) {
  const Expr cond = with_names(ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(1), ExprTree::arg_ref(2)),
                               {{1, "c"}, {2, "c2"}});
  const Expr then_val = with_names(ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(2), ExprTree::arg_ref(3)),
                                   {{2, "t"}, {3, "t3"}});
  const Expr else_val = with_names(ExprTree::arg_ref(3), {{3, "f"}});
  const Expr selected = select_expr(cond, then_val, else_val);
  EXPECT_EQ(temp_args_of(selected), (TempArgs{{1, "c"}, {2, "t"}, {3, "f"}}));
  EXPECT_EQ(tree_text(tree_of(selected)),
            "Select(Binary(Add, ArgRef(1), ArgRef(2)), Binary(Add, ArgRef(2), ArgRef(3)), ArgRef(3))");
}

TEST(OperatorExprTest, OperandsAreNotModified) {
  const Expr x = make_arg("x");
  const ExprTree tree_before = tree_of(x);
  const TempArgs temp_args_before = temp_args_of(x);
  const Expr sum = binary_expr(BinaryOp::Add, x, x);
  EXPECT_EQ(tree_of(x), tree_before);
  EXPECT_EQ(temp_args_of(x), temp_args_before);
  EXPECT_EQ(x.arg_name, "x");
  EXPECT_EQ(temp_args_of(sum), temp_args_before);
}

TEST(RewriteArgsTest, RenumbersTreeAndNamesAndKeepsTheArgName) {
  const Expr x = make_arg("x");
  const Expr moved = rewrite_args(x, {{id_of(x), 5}});
  EXPECT_EQ(moved.arg_name, "x");
  EXPECT_EQ(tree_of(moved), ExprTree::arg_ref(5));
  EXPECT_EQ(temp_args_of(moved), (TempArgs{{5, "x"}}));
}

TEST(RewriteArgsTest, EmptyAndUnusedMappingsChangeNothing) {
  const Expr e = with_names(ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(3), ExprTree::arg_ref(5)),
                            {{3, "a"}, {5, "b"}});
  for (const std::map<std::uint64_t, std::uint64_t>& mapping :
       {std::map<std::uint64_t, std::uint64_t>{}, std::map<std::uint64_t, std::uint64_t>{{9, 0}}}) {
    const Expr same = rewrite_args(e, mapping);
    EXPECT_EQ(tree_of(same), tree_of(e));
    EXPECT_EQ(temp_args_of(same), temp_args_of(e));
    EXPECT_FALSE(same.arg_name.has_value());
  }
  const Expr partly = rewrite_args(e, {{3, 10}});
  EXPECT_EQ(tree_text(tree_of(partly)), "Binary(Add, ArgRef(10), ArgRef(5))");
  EXPECT_EQ(temp_args_of(partly), (TempArgs{{5, "b"}, {10, "a"}}));
}

TEST(RewriteArgsTest, CollidingIdsKeepTheNameOfTheGreatestOldId) {
  const Expr e = with_names(
      ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(5), ExprTree::binary(BinaryOp::Mul, ExprTree::arg_ref(3),
                                                                             ExprTree::arg_ref(4))),
      {{3, "three"}, {4, "four"}, {5, "five"}});
  const Expr merged = rewrite_args(e, {{3, 0}, {5, 0}});
  EXPECT_EQ(tree_text(tree_of(merged)), "Binary(Add, ArgRef(0), Binary(Mul, ArgRef(0), ArgRef(4)))");
  EXPECT_EQ(temp_args_of(merged), (TempArgs{{0, "five"}, {4, "four"}}));
  // An id moved onto one that stays also collides; the greater old id wins.
  EXPECT_EQ(temp_args_of(rewrite_args(e, {{5, 4}})), (TempArgs{{3, "three"}, {4, "five"}}));
  EXPECT_EQ(temp_args_of(rewrite_args(e, {{3, 4}})), (TempArgs{{4, "four"}, {5, "five"}}));
  // Swapping ids moves the names with them.
  EXPECT_EQ(temp_args_of(rewrite_args(e, {{3, 5}, {5, 3}})), (TempArgs{{3, "five"}, {4, "four"}, {5, "three"}}));
  // The name the collision keeps is what a later merge sees for that id.
  EXPECT_EQ(temp_args_of(binary_expr(BinaryOp::Add, merged, with_names(ExprTree::arg_ref(7), {{7, "seven"}}))),
            (TempArgs{{0, "five"}, {4, "four"}, {7, "seven"}}));
}

TEST(ElementwiseTest, NumbersSlotsByAscendingId) {
  const Expr y = make_arg("y");
  const Expr x = make_arg("x");
  const Result<KernelSpec> spec =
      elementwise(binary_expr(BinaryOp::Add, binary_expr(BinaryOp::Mul, x, make_const(2)), y));
  ASSERT_TRUE(spec.ok());
  EXPECT_EQ(spec.value().arg_names, (std::vector<std::string>{"y", "x"}));
  EXPECT_EQ(tree_text(spec.value().tree.expand()), "Binary(Add, Binary(Mul, ArgRef(1), Const(2.0)), ArgRef(0))");
}

TEST(ElementwiseTest, ASingleArgumentUsedManyTimesIsOneSlot) {
  const Expr x = make_arg("x");
  const Result<KernelSpec> single = elementwise(x);
  ASSERT_TRUE(single.ok());
  EXPECT_EQ(single.value().arg_names, std::vector<std::string>{"x"});
  EXPECT_EQ(single.value().tree, ExprTree::arg_ref(0));
  const Result<KernelSpec> repeated =
      elementwise(binary_expr(BinaryOp::Add, binary_expr(BinaryOp::Mul, x, x), x));
  ASSERT_TRUE(repeated.ok());
  EXPECT_EQ(repeated.value().arg_names, std::vector<std::string>{"x"});
  EXPECT_EQ(tree_text(repeated.value().tree.expand()), "Binary(Add, Binary(Mul, ArgRef(0), ArgRef(0)), ArgRef(0))");
}

TEST(ElementwiseTest, EqualShapesFromDifferentArgumentsGiveEqualSpecs) {
  const auto build = [] {
    const Expr a = make_arg("a");
    const Expr b = make_arg("b");
    return elementwise(binary_expr(BinaryOp::Div, b, unary_expr(UnaryOp::Sqrt, a)));
  };
  const Result<KernelSpec> first = build();
  const Result<KernelSpec> second = build();
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().arg_names, second.value().arg_names);
  EXPECT_EQ(first.value().tree, second.value().tree);
}

TEST(ElementwiseTest, LeavesTheExpressionUntouched) {
  const Expr e = binary_expr(BinaryOp::Add, make_arg("p"), make_arg("q"));
  const std::string before = expr_repr(e);
  const Result<KernelSpec> first = elementwise(e);
  EXPECT_EQ(expr_repr(e), before);
  const Result<KernelSpec> second = elementwise(e);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().tree, second.value().tree);
}

TEST(ElementwiseTest, DuplicateNamesAreAnArgError) {
  const Result<KernelSpec> spec = elementwise(binary_expr(BinaryOp::Add, make_arg("x"), make_arg("x")));
  ASSERT_FALSE(spec.ok());
  EXPECT_EQ(spec.error(), ComputeError::arg("duplicate arg name: x"));
}

TEST(ElementwiseTest, TheDuplicateAtTheSmallestIdIsReported) {
  const ExprTree tree = ExprTree::binary(
      BinaryOp::Add, ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(11), ExprTree::arg_ref(9)),
      ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(4), ExprTree::arg_ref(7)));
  // 9 repeats 4's name and 11 repeats 7's: 9 comes first.
  const Result<KernelSpec> spec = elementwise(with_names(tree, {{4, "a"}, {7, "b"}, {9, "a"}, {11, "b"}}));
  ASSERT_FALSE(spec.ok());
  EXPECT_EQ(spec.error(), ComputeError::arg("duplicate arg name: a"));
}

TEST(ElementwiseTest, UnreferencedNamesAreIgnoredAndMergedIdsShareASlot) {
  const Expr e = with_names(ExprTree::binary(BinaryOp::Add, ExprTree::arg_ref(3), ExprTree::arg_ref(5)),
                            {{1, "unused"}, {3, "a"}, {5, "b"}});
  const Result<KernelSpec> merged = elementwise(rewrite_args(e, {{3, 0}, {5, 0}}));
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged.value().arg_names, std::vector<std::string>{"b"});
  EXPECT_EQ(tree_text(merged.value().tree.expand()), "Binary(Add, ArgRef(0), ArgRef(0))");
}

}  // namespace
}  // namespace bmx

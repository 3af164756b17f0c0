// Number formatting, tree text and repr.
#include "expr/expr_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>

#include "expr/expr.h"

namespace bmx {
namespace {

struct NumberCase {
  double value;
  const char* text;
};

class FormatNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FormatNumberTest, WritesTheShortestRoundTripText) {
  EXPECT_EQ(format_number(GetParam().value), GetParam().text);
}

// Values around both notation thresholds, subnormals, the extremes and
// numbers whose shortest digits are long.
INSTANTIATE_TEST_SUITE_P(
    Table, FormatNumberTest,
    ::testing::Values(NumberCase{2.0, "2.0"}, NumberCase{0.5, "0.5"}, NumberCase{-0.0, "-0.0"},
                      NumberCase{0.0, "0.0"}, NumberCase{1e-4, "0.0001"}, NumberCase{1e16, "1e16"},
                      NumberCase{1.5e-5, "1.5e-5"}, NumberCase{-2.5e20, "-2.5e20"}, NumberCase{1e-5, "1e-5"},
                      NumberCase{0.1, "0.1"}, NumberCase{1e15, "1000000000000000.0"},
                      NumberCase{123456789.125, "123456789.125"}, NumberCase{5e-324, "5e-324"},
                      NumberCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      NumberCase{0x1.1c37937e07fffp+53, "9999999999999998.0"},
                      NumberCase{0x1.a36e2eb1c432cp-14, "9.999999999999999e-5"},
                      NumberCase{0x1.a36e2eb1c432ep-14, "0.00010000000000000002"},
                      NumberCase{1.0 / 3.0, "0.3333333333333333"}, NumberCase{-2.0 / 3.0, "-0.6666666666666666"},
                      NumberCase{100.0, "100.0"}, NumberCase{1.5, "1.5"}, NumberCase{-1.0, "-1.0"},
                      NumberCase{12345.678, "12345.678"}, NumberCase{0.00012, "0.00012"},
                      NumberCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
                      NumberCase{123e300, "1.23e302"}, NumberCase{1e22, "1e22"}, NumberCase{4.35, "4.35"},
                      NumberCase{9007199254740993.0, "9007199254740992.0"}, NumberCase{-1e-300, "-1e-300"},
                      NumberCase{1e100, "1e100"}, NumberCase{3e-10, "3e-10"},
                      NumberCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      NumberCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      NumberCase{std::numeric_limits<double>::infinity(), "inf"},
                      NumberCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(FormatNumberRoundTripTest, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (std::isnan(value)) continue;
    const std::string text = format_number(value);
    const double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
    const bool positional = value == 0 || (std::fabs(value) >= 1e-4 && std::fabs(value) < 1e16);
    ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
    if (positional) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

TEST(TreeTextTest, PrintsEveryVariantWithOneBlankAfterEachComma) {
  const ExprTree x = ExprTree::arg_ref(0);
  const ExprTree two = ExprTree::constant(2.0);
  EXPECT_EQ(tree_text(ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, x, two),
                                       ExprTree::constant(1.0))),
            "Binary(Add, Binary(Mul, ArgRef(0), Const(2.0)), Const(1.0))");
  EXPECT_EQ(tree_text(ExprTree::unary(UnaryOp::Neg, ExprTree::arg_ref(7))), "Unary(Neg, ArgRef(7))");
  EXPECT_EQ(tree_text(ExprTree::select(ExprTree::compare(CompareOp::Gt, x, ExprTree::constant(0.0)), x,
                                       ExprTree::unary(UnaryOp::Log10, ExprTree::constant(-1e-5)))),
            "Select(Compare(Gt, ArgRef(0), Const(0.0)), ArgRef(0), Unary(Log10, Const(-1e-5)))");
  EXPECT_EQ(tree_text(ExprTree::arg_ref(18446744073709551615ULL)), "ArgRef(18446744073709551615)");
  EXPECT_EQ(tree_text(ExprTree::constant(std::numeric_limits<double>::quiet_NaN())), "Const(NaN)");
}

TEST(TreeTextTest, NamesEveryOperator) {
  EXPECT_EQ(tree_text(ExprTree::unary(UnaryOp::Tan, ExprTree::arg_ref(1))), "Unary(Tan, ArgRef(1))");
  EXPECT_EQ(tree_text(ExprTree::binary(BinaryOp::Atan2, ExprTree::arg_ref(1), ExprTree::arg_ref(2))),
            "Binary(Atan2, ArgRef(1), ArgRef(2))");
  EXPECT_EQ(tree_text(ExprTree::compare(CompareOp::Ne, ExprTree::arg_ref(1), ExprTree::arg_ref(2))),
            "Compare(Ne, ArgRef(1), ArgRef(2))");
}

TEST(ExprReprTest, UsesTheArgumentNameOnlyWhenPresent) {
  const Expr x = make_arg("x");
  EXPECT_EQ(expr_repr(x), "Expr(x)");
  EXPECT_EQ(expr_repr(make_arg("")), "Expr()");
  const std::string id = std::to_string(x.tree.root().payload());
  EXPECT_EQ(expr_repr(unary_expr(UnaryOp::Neg, x)), "Expr(Unary(Neg, ArgRef(" + id + ")))");
  EXPECT_EQ(expr_repr(binary_expr(BinaryOp::Add, binary_expr(BinaryOp::Mul, x, make_const(2)), make_const(1))),
            "Expr(Binary(Add, Binary(Mul, ArgRef(" + id + "), Const(2.0)), Const(1.0)))");
  EXPECT_EQ(expr_repr(make_const(1e16)), "Expr(Const(1e16))");
  // The name survives a rewrite even though the tree changes.
  EXPECT_EQ(expr_repr(rewrite_args(x, {{x.tree.root().payload(), 5}})), "Expr(x)");
}

}  // namespace
}  // namespace bmx

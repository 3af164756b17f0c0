// The operator semantics table, bit for bit.
#include "eval/operators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "eval_test_support.h"

namespace bmx {
namespace {

using eval_test::bits;
using eval_test::kInf;

const double kNaN = std::bit_cast<double>(0x7ff8000000000123ull);
const double kNegNaN = std::bit_cast<double>(0xfff8000000000456ull);
const double kSignallingNaN = std::bit_cast<double>(0x7ff0000000000789ull);
const double kQuietedNaN = std::bit_cast<double>(0x7ff8000000000789ull);

struct UnaryCase {
  UnaryOp op;
  double x;
  double expected;
};

class UnaryTable : public ::testing::TestWithParam<UnaryCase> {};

TEST_P(UnaryTable, GivesExactBits) {
  const UnaryCase& c = GetParam();
  EXPECT_EQ(bits(apply_unary(c.op, c.x)), bits(c.expected)) << op_name(c.op) << "(" << c.x << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Operators, UnaryTable,
    ::testing::Values(UnaryCase{UnaryOp::Neg, 0.0, -0.0}, UnaryCase{UnaryOp::Neg, -0.0, 0.0},
                      UnaryCase{UnaryOp::Neg, 2.5, -2.5}, UnaryCase{UnaryOp::Neg, kNaN, std::bit_cast<double>(0xfff8000000000123ull)},
                      UnaryCase{UnaryOp::Neg, -kInf, kInf}, UnaryCase{UnaryOp::Abs, -0.0, 0.0},
                      UnaryCase{UnaryOp::Abs, kNegNaN, std::bit_cast<double>(0x7ff8000000000456ull)},
                      UnaryCase{UnaryOp::Abs, -3.0, 3.0}, UnaryCase{UnaryOp::Sqrt, 4.0, 2.0},
                      UnaryCase{UnaryOp::Sqrt, -0.0, -0.0}, UnaryCase{UnaryOp::Log, 1.0, 0.0},
                      UnaryCase{UnaryOp::Log, 0.0, -kInf}, UnaryCase{UnaryOp::Exp, 0.0, 1.0},
                      UnaryCase{UnaryOp::Log2, 8.0, 3.0}, UnaryCase{UnaryOp::Log10, 1000.0, 3.0},
                      UnaryCase{UnaryOp::Floor, -0.5, -1.0}, UnaryCase{UnaryOp::Ceil, -0.5, -0.0},
                      UnaryCase{UnaryOp::Floor, kSignallingNaN, kQuietedNaN},
                      UnaryCase{UnaryOp::Ceil, kSignallingNaN, kQuietedNaN},
                      UnaryCase{UnaryOp::Round, -0.5, -1.0}, UnaryCase{UnaryOp::Round, 0.5, 1.0},
                      UnaryCase{UnaryOp::Round, 2.5, 3.0}, UnaryCase{UnaryOp::Round, -2.5, -3.0},
                      UnaryCase{UnaryOp::Round, -0.4, -0.0}, UnaryCase{UnaryOp::Sin, 0.0, 0.0},
                      UnaryCase{UnaryOp::Cos, 0.0, 1.0}, UnaryCase{UnaryOp::Tan, -0.0, -0.0},
                      UnaryCase{UnaryOp::RoundEven, 0.5, 0.0}, UnaryCase{UnaryOp::RoundEven, -0.5, -0.0},
                      UnaryCase{UnaryOp::RoundEven, 2.5, 2.0}, UnaryCase{UnaryOp::RoundEven, -3.5, -4.0},
                      UnaryCase{UnaryOp::RoundEven, 0x1p52 + 1, 0x1p52 + 1}, UnaryCase{UnaryOp::Sign, kNaN, kNaN},
                      UnaryCase{UnaryOp::Signbit, kNegNaN, 1.0}));

TEST(Operators, SqrtOfNegativeIsNaN) { EXPECT_TRUE(std::isnan(apply_unary(UnaryOp::Sqrt, -1.0))); }

TEST(Operators, LibmFunctionsAreThePlatformOnes) {
  for (const double x : {0.3, -1.7, 12.25, 1e-300, 700.0}) {
    EXPECT_EQ(bits(apply_unary(UnaryOp::Log, x)), bits(std::log(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Exp, x)), bits(std::exp(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Sin, x)), bits(std::sin(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Cos, x)), bits(std::cos(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Tan, x)), bits(std::tan(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Tanh, x)), bits(std::tanh(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Asinh, x)), bits(std::asinh(x)));
    EXPECT_EQ(bits(apply_unary(UnaryOp::Expm1, x)), bits(std::expm1(x)));
    EXPECT_EQ(bits(apply_binary(BinaryOp::Pow, x, 1.5)), bits(std::pow(x, 1.5)));
  }
}

struct BinaryCase {
  BinaryOp op;
  double l;
  double r;
  double expected;
};

class BinaryTable : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(BinaryTable, GivesExactBits) {
  const BinaryCase& c = GetParam();
  EXPECT_EQ(bits(apply_binary(c.op, c.l, c.r)), bits(c.expected)) << op_name(c.op) << "(" << c.l << ", " << c.r << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Operators, BinaryTable,
    ::testing::Values(BinaryCase{BinaryOp::Add, 1.0, 2.0, 3.0}, BinaryCase{BinaryOp::Add, -0.0, -0.0, -0.0},
                      BinaryCase{BinaryOp::Sub, 0.0, 0.0, 0.0}, BinaryCase{BinaryOp::Mul, -2.0, 0.0, -0.0},
                      BinaryCase{BinaryOp::Div, 1.0, 0.0, kInf}, BinaryCase{BinaryOp::Div, 1.0, -0.0, -kInf},
                      // Two NaNs: the left one, quieted, whatever the operator.
                      BinaryCase{BinaryOp::Add, kNaN, kNegNaN, kNaN}, BinaryCase{BinaryOp::Sub, kNegNaN, kNaN, kNegNaN},
                      BinaryCase{BinaryOp::Mul, kNaN, kNegNaN, kNaN}, BinaryCase{BinaryOp::Div, kNegNaN, kNaN, kNegNaN},
                      BinaryCase{BinaryOp::Add, kSignallingNaN, kNaN, kQuietedNaN},
                      BinaryCase{BinaryOp::Mul, kSignallingNaN, kNegNaN, kQuietedNaN},
                      BinaryCase{BinaryOp::Add, 1.0, kSignallingNaN, kQuietedNaN},
                      BinaryCase{BinaryOp::Pow, 2.0, 10.0, 1024.0}, BinaryCase{BinaryOp::Pow, kNaN, 0.0, 1.0},
                      BinaryCase{BinaryOp::Atan2, 1.0, 0.0, std::numbers::pi / 2},
                      BinaryCase{BinaryOp::Atan2, 0.0, -1.0, std::numbers::pi},
                      // Min / Max: NaN on the left yields the right operand, NaN on
                      // the right loses, ties keep the left operand.
                      BinaryCase{BinaryOp::Min, kNaN, 3.0, 3.0}, BinaryCase{BinaryOp::Min, 3.0, kNaN, 3.0},
                      BinaryCase{BinaryOp::Min, kNaN, kNegNaN, kNegNaN}, BinaryCase{BinaryOp::Min, 2.0, 1.0, 1.0},
                      BinaryCase{BinaryOp::Min, -0.0, 0.0, -0.0}, BinaryCase{BinaryOp::Min, 0.0, -0.0, 0.0},
                      BinaryCase{BinaryOp::Max, kNaN, 3.0, 3.0}, BinaryCase{BinaryOp::Max, 3.0, kNaN, 3.0},
                      BinaryCase{BinaryOp::Max, kNegNaN, kNaN, kNaN}, BinaryCase{BinaryOp::Max, 1.0, 2.0, 2.0},
                      BinaryCase{BinaryOp::Max, -0.0, 0.0, -0.0}, BinaryCase{BinaryOp::Max, 0.0, -0.0, 0.0},
                      BinaryCase{BinaryOp::Max, -kInf, kInf, kInf},
                      // Minimum / Maximum: a NaN operand wins, the left one of two; ties give r.
                      BinaryCase{BinaryOp::Minimum, kNaN, 3.0, kNaN},
                      BinaryCase{BinaryOp::Minimum, 3.0, kNegNaN, kNegNaN},
                      BinaryCase{BinaryOp::Maximum, kNegNaN, kNaN, kNegNaN},
                      BinaryCase{BinaryOp::Maximum, 1.0, 2.0, 2.0},
                      BinaryCase{BinaryOp::Minimum, -0.0, 0.0, 0.0}, BinaryCase{BinaryOp::Maximum, 0.0, -0.0, -0.0},
                      // FloorDiv / Mod: the remainder takes the divisor's sign.
                      BinaryCase{BinaryOp::Mod, -7.0, 3.0, 2.0}, BinaryCase{BinaryOp::FloorDiv, -7.0, 3.0, -3.0},
                      BinaryCase{BinaryOp::Mod, 0.0, -1.0, -0.0}, BinaryCase{BinaryOp::FloorDiv, 0.0, -1.0, -0.0},
                      BinaryCase{BinaryOp::Mod, -1.0, kInf, kInf}, BinaryCase{BinaryOp::FloorDiv, 1.0, 0.1, 9.0}));

struct CompareCase {
  CompareOp op;
  double l;
  double r;
  double expected;
};

class CompareTable : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareTable, GivesOneOrZero) {
  const CompareCase& c = GetParam();
  EXPECT_EQ(bits(apply_compare(c.op, c.l, c.r)), bits(c.expected)) << op_name(c.op) << "(" << c.l << ", " << c.r << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Operators, CompareTable,
    ::testing::Values(CompareCase{CompareOp::Gt, 2.0, 1.0, 1.0}, CompareCase{CompareOp::Gt, 1.0, 1.0, 0.0},
                      CompareCase{CompareOp::Ge, 1.0, 1.0, 1.0}, CompareCase{CompareOp::Lt, 1.0, 2.0, 1.0},
                      CompareCase{CompareOp::Le, 2.0, 1.0, 0.0}, CompareCase{CompareOp::Eq, -0.0, 0.0, 1.0},
                      CompareCase{CompareOp::Ne, -0.0, 0.0, 0.0}, CompareCase{CompareOp::Eq, kNaN, kNaN, 0.0},
                      CompareCase{CompareOp::Ne, kNaN, kNaN, 1.0}, CompareCase{CompareOp::Ne, 1.0, kNaN, 1.0},
                      CompareCase{CompareOp::Gt, kNaN, 1.0, 0.0}, CompareCase{CompareOp::Ge, 1.0, kNaN, 0.0},
                      CompareCase{CompareOp::Lt, kNaN, kInf, 0.0}, CompareCase{CompareOp::Le, -kInf, kNaN, 0.0}));

TEST(Operators, UnknownCodesAreInternalFailures) {
  EXPECT_THROW(apply_unary(static_cast<UnaryOp>(std::size(kUnaryOps)), 1.0), InternalFailure);
  EXPECT_THROW(apply_binary(static_cast<BinaryOp>(std::size(kBinaryOps)), 1.0, 1.0), InternalFailure);
  EXPECT_THROW(apply_compare(static_cast<CompareOp>(6), 1.0, 1.0), InternalFailure);
}

}  // namespace
}  // namespace bmx

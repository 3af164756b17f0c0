// The float64 trees' operators as the function table generates them: their
// names and codes are written in expression bytes and cache keys and printed
// in reprs, so each is pinned here, in code order.
#include "expr/ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bmx {
namespace {

template <class Ops>
std::vector<std::string> names_of(const Ops& ops) {
  std::vector<std::string> names;
  for (std::size_t code = 0; code < ops.size(); ++code) {
    EXPECT_EQ(static_cast<std::size_t>(ops[code]), code);
    names.emplace_back(op_name(ops[code]));
  }
  return names;
}

TEST(Ops, UnaryNamesByCode) {
  const std::vector<std::string> expected = {
      "Neg",   "Abs",   "Sqrt",  "Log",   "Exp",   "Log2",  "Log10",     "Floor", "Ceil",    "Round", "Sin",
      "Cos",   "Tan",   "Sinh",  "Cosh",  "Tanh",  "Asin",  "Acos",      "Atan",  "Asinh",   "Acosh", "Atanh",
      "Log1p", "Expm1", "Trunc", "RoundEven", "Sign", "Signbit", "IsNan", "IsInf", "IsFinite", "Cbrt"};
  EXPECT_EQ(names_of(kUnaryOps), expected);
}

TEST(Ops, BinaryNamesByCode) {
  const std::vector<std::string> expected = {"Add",   "Sub",  "Mul",       "Div",      "Pow",      "Atan2",
                                             "Min",   "Max",  "Fmod",      "Hypot",    "Nextafter", "Copysign",
                                             "FloorDiv", "Mod", "Minimum", "Maximum"};
  EXPECT_EQ(names_of(kBinaryOps), expected);
}

TEST(Ops, CompareNamesByCode) {
  const std::vector<std::string> expected = {"Gt", "Ge", "Lt", "Le", "Eq", "Ne"};
  EXPECT_EQ(names_of(kCompareOps), expected);
}

TEST(Ops, ACodeIsValidExactlyBelowItsCount) {
  for (int code = 0; code < 256; ++code) {
    const auto byte = static_cast<std::uint8_t>(code);
    EXPECT_EQ(is_unary_op_code(byte), code < 32) << code;
    EXPECT_EQ(is_binary_op_code(byte), code < 16) << code;
    EXPECT_EQ(is_compare_op_code(byte), code < 6) << code;
  }
}

}  // namespace
}  // namespace bmx

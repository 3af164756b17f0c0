// The float64 trees' operators as the function table generates them: their
// names and codes are written in expression bytes and cache keys and printed
// in reprs, so each one's is pinned here, in code order; a new operator takes
// the next code.
#include "expr/ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bmx {
namespace {

// The names of the first `count` operators, by code.
template <class Ops>
std::vector<std::string> names_of(const Ops& ops, std::size_t count) {
  std::vector<std::string> names;
  if (ops.size() < count) return names;
  for (std::size_t code = 0; code < count; ++code) {
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
  EXPECT_EQ(names_of(kUnaryOps, expected.size()), expected);
}

TEST(Ops, BinaryNamesByCode) {
  const std::vector<std::string> expected = {"Add",   "Sub",  "Mul",       "Div",      "Pow",      "Atan2",
                                             "Min",   "Max",  "Fmod",      "Hypot",    "Nextafter", "Copysign",
                                             "FloorDiv", "Mod", "Minimum", "Maximum"};
  EXPECT_EQ(names_of(kBinaryOps, expected.size()), expected);
}

TEST(Ops, CompareNamesByCode) {
  const std::vector<std::string> expected = {"Gt", "Ge", "Lt", "Le", "Eq", "Ne"};
  EXPECT_EQ(names_of(kCompareOps, expected.size()), expected);
}

}  // namespace
}  // namespace bmx

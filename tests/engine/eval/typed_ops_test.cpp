// The typed operations and SLEEF kernels as the function table generates
// them: one list, so a kernel is the one its row names.
#include "eval/typed_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bmx {
namespace {

std::string float64_name(const Float64Op& op) {
  if (op.unary) return op_name(*op.unary);
  if (op.binary) return op_name(*op.binary);
  if (op.compare) return op_name(*op.compare);
  return "";
}

TEST(TypedOps, TheSleefKernelsAreTheirRowsOperatorsInTableOrder) {
  std::vector<std::string> kernels;
  for (const TypedOpInfo& info : kTypedOps) {
    if (!info.sleef) continue;
    const SleefInfo& sleef = sleef_info(*info.sleef);
    EXPECT_EQ(sleef.name, float64_name(info.float64)) << info.name;
    EXPECT_EQ(sleef.arity, info.arity) << info.name;
    kernels.emplace_back(sleef.name);
  }
  const std::vector<std::string> expected = {"Exp",  "Expm1", "Log",   "Log1p", "Log2",  "Log10", "Sin",
                                             "Cos",  "Tan",   "Asin",  "Acos",  "Atan",  "Sinh",  "Cosh",
                                             "Tanh", "Asinh", "Acosh", "Atanh", "Pow",   "Atan2", "Hypot"};
  EXPECT_EQ(kernels, expected);
  EXPECT_EQ(kSleefFunctionCount, expected.size());
}

TEST(TypedOps, TheComparisonsAreTheFloat64Comparisons) {
  for (const TypedOpInfo& info : kTypedOps) {
    EXPECT_EQ(is_comparison(info.op), info.float64.compare.has_value()) << info.name;
  }
}

}  // namespace
}  // namespace bmx

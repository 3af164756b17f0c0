// The float64 trees' operators as the function table generates them: in
// code order, each named as reprs print it. The unary and binary names are
// pinned at the extension's surface (_UNARY_OPS, _BINARY_OPS); the
// comparisons, which it does not export, here.
#include "expr/ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bmx {
namespace {

TEST(Ops, CompareNamesByCode) {
  std::vector<std::string> names;
  for (const CompareOp op : kCompareOps) names.emplace_back(op_name(op));
  EXPECT_EQ(names, (std::vector<std::string>{"Gt", "Ge", "Lt", "Le", "Eq", "Ne"}));
}

}  // namespace
}  // namespace bmx

// Flattening into stack programs, the compiled form, and the length check.
#include "ir/flat_kernel.h"

#include <gtest/gtest.h>

#include <bit>

#include "internal_failure.h"
#include "ir/arg_slot.h"
#include "ir/compiled_kernel.h"
#include "tree_builders.h"

namespace bmx {
namespace {

using namespace ir_test;

TEST(FlattenTest, EmitsOneInstructionPerNodeInPostOrder) {
  const FlatKernel kernel = flatten(add(ExprTree::binary(BinaryOp::Mul, arg(0), num(2.0)), arg(1)));
  const std::vector<FlatInstr> expected{
      {InstrKind::LoadArg, 0, 0},
      {InstrKind::PushConst, 0, std::bit_cast<std::uint64_t>(2.0)},
      {InstrKind::ApplyBinary, static_cast<std::uint8_t>(BinaryOp::Mul), 0},
      {InstrKind::LoadArg, 0, 1},
      {InstrKind::ApplyBinary, static_cast<std::uint8_t>(BinaryOp::Add), 0},
  };
  EXPECT_EQ(kernel.instrs, expected);
  EXPECT_EQ(kernel.max_depth, 2u);
}

TEST(FlattenTest, CarriesOperatorCodesOfUnaryAndCompare) {
  const FlatKernel kernel =
      flatten(ExprTree::compare(CompareOp::Le, ExprTree::unary(UnaryOp::Floor, arg(3)), num(-0.0)));
  const std::vector<FlatInstr> expected{
      {InstrKind::LoadArg, 0, 3},
      {InstrKind::ApplyUnary, static_cast<std::uint8_t>(UnaryOp::Floor), 0},
      {InstrKind::PushConst, 0, std::bit_cast<std::uint64_t>(-0.0)},
      {InstrKind::ApplyCompare, static_cast<std::uint8_t>(CompareOp::Le), 0},
  };
  EXPECT_EQ(kernel.instrs, expected);
  EXPECT_EQ(kernel.max_depth, 2u);
}

struct DepthCase {
  const char* name;
  ExprTree tree;
  std::uint64_t max_depth;
};

TEST(FlattenTest, MaxDepthIsThePeakStackHeight) {
  const ExprTree a = arg(0), b = arg(1), c = arg(2), d = arg(3);
  const DepthCase cases[] = {
      {"x*2+y", add(ExprTree::binary(BinaryOp::Mul, a, num(2.0)), b), 2},
      {"a+(b+(c+d))", add(a, add(b, add(c, d))), 4},
      {"((a+b)+c)+d", add(add(add(a, b), c), d), 2},
      {"(a+b)+(c+d)", add(add(a, b), add(c, d)), 3},
      {"const", num(1.0), 1},
      {"arg", a, 1},
      {"-(-a)", ExprTree::unary(UnaryOp::Neg, ExprTree::unary(UnaryOp::Neg, a)), 1},
  };
  for (const DepthCase& test : cases) {
    const FlatKernel kernel = flatten(test.tree);
    EXPECT_EQ(kernel.max_depth, test.max_depth) << test.name;
    EXPECT_EQ(kernel.instrs.size(), test.tree.nodes().size()) << test.name;
  }
}

TEST(FlattenTest, SignedZerosKeepTheirBitPatterns) {
  EXPECT_EQ(flatten(num(0.0)).instrs[0].payload, 0u);
  EXPECT_EQ(flatten(num(-0.0)).instrs[0].payload, 0x8000000000000000ULL);
}

TEST(FlattenTest, SelectIsAnInternalFailure) {
  try {
    (void)flatten(ExprTree::select(arg(0), num(1.0), num(2.0)));
    FAIL() << "flatten accepted a Select";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(),
              "internal error: entered unreachable code: Select nodes must be handled by the lazy tree evaluator");
  }
}

TEST(CompileKernelTest, SelectAnywhereKeepsTheWholeTree) {
  const ExprTree with_select = add(arg(0), ExprTree::unary(UnaryOp::Sqrt, ExprTree::select(arg(0), arg(1), num(0.0))));
  const CompiledKernel tree_kernel = compile_kernel(with_select);
  ASSERT_TRUE(std::holds_alternative<TreeKernel>(tree_kernel));
  EXPECT_EQ(std::get<TreeKernel>(tree_kernel).tree, with_select);

  const ExprTree plain = add(arg(0), num(1.0));
  const CompiledKernel flat_kernel = compile_kernel(plain);
  ASSERT_TRUE(std::holds_alternative<FlatKernel>(flat_kernel));
  EXPECT_EQ(std::get<FlatKernel>(flat_kernel).instrs, flatten(plain).instrs);
}

ArgSlot buffer_of(std::size_t n) { return Buffer::from_f64_vec(F64Vec(n, 1.0)); }

TEST(CommonLengthTest, ReportsTheFirstMismatchAgainstTheFirstBuffer) {
  const std::vector<ArgSlot> three_four{2.0, buffer_of(3), 1.0, buffer_of(4)};
  const Result<std::uint64_t> forward = common_length(three_four);
  ASSERT_FALSE(forward.ok());
  EXPECT_EQ(forward.error(), ComputeError::shape("buffer length mismatch: 3 vs 4"));

  const std::vector<ArgSlot> four_three{buffer_of(4), buffer_of(3)};
  EXPECT_EQ(common_length(four_three).error(), ComputeError::shape("buffer length mismatch: 4 vs 3"));

  const std::vector<ArgSlot> later{buffer_of(2), buffer_of(2), buffer_of(5), buffer_of(7)};
  EXPECT_EQ(common_length(later).error(), ComputeError::shape("buffer length mismatch: 2 vs 5"));
}

TEST(CommonLengthTest, ScalarsDoNotCount) {
  const std::vector<ArgSlot> scalars{1.0, 2.0};
  EXPECT_EQ(common_length(scalars).error(), ComputeError::arg("no buffer arguments provided"));
  EXPECT_EQ(common_length({}).error(), ComputeError::arg("no buffer arguments provided"));

  const std::vector<ArgSlot> mixed{1.0, buffer_of(6), 3.0, buffer_of(6)};
  EXPECT_EQ(common_length(mixed).value(), 6u);
}

TEST(CommonLengthTest, EmptyBuffersAndShapesCount) {
  const std::vector<ArgSlot> empty{buffer_of(0), buffer_of(0)};
  EXPECT_EQ(common_length(empty).value(), 0u);
  // A buffer of shape [2, 3] holds six elements; an empty shape holds one.
  const std::vector<ArgSlot> shaped{Buffer::with_layout({2, 3}, DType::F64, F64Vec(6)), buffer_of(6)};
  EXPECT_EQ(common_length(shaped).value(), 6u);
  const std::vector<ArgSlot> scalar_shape{Buffer::with_layout({}, DType::F64, F64Vec(1)), buffer_of(2)};
  EXPECT_EQ(common_length(scalar_shape).error(), ComputeError::shape("buffer length mismatch: 1 vs 2"));
}

}  // namespace
}  // namespace bmx

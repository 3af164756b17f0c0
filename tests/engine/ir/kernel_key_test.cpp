// Structural keys: walk order, codes, and the fingerprint's byte layout.
#include "ir/kernel_key.h"

#include <gtest/gtest.h>

#include <bit>
#include <set>

#include "expr/shared_tree.h"
#include "ir/siphash.h"
#include "tree_builders.h"

namespace bmx {
namespace {

using namespace ir_test;

TEST(KernelKeyTest, WalksInPreOrder) {
  const KernelKey key =
      build_kernel_key(ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, arg(1), num(2.0)), arg(0)));
  EXPECT_EQ(key.ops, (std::vector<std::uint8_t>{30, 32, 1, 0, 1}));
  EXPECT_EQ(key.consts, std::vector<std::uint64_t>{std::bit_cast<std::uint64_t>(2.0)});
  EXPECT_EQ(key.arg_slots, (std::vector<std::uint64_t>{1, 0}));
}

TEST(KernelKeyTest, EncodesEveryVariantAndSelectBranchOrder) {
  const ExprTree tree = ExprTree::select(ExprTree::compare(CompareOp::Ne, arg(0), num(-0.0)),
                                         ExprTree::unary(UnaryOp::Tan, arg(1)),
                                         ExprTree::binary(BinaryOp::Max, num(3.0), arg(2)));
  const KernelKey key = build_kernel_key(tree);
  EXPECT_EQ(key.ops, (std::vector<std::uint8_t>{70, 55, 1, 0, 22, 1, 37, 0, 1}));
  EXPECT_EQ(key.consts, (std::vector<std::uint64_t>{std::bit_cast<std::uint64_t>(-0.0),
                                                    std::bit_cast<std::uint64_t>(3.0)}));
  EXPECT_EQ(key.arg_slots, (std::vector<std::uint64_t>{0, 1, 2}));
}

// Every operator has its own code, the one it decodes from; the codes of the
// first twenty unary operators are those of version-1 bytes.
TEST(KernelKeyTest, OperatorCodesAreDistinctAndDecodeToTheirOperator) {
  std::set<std::uint8_t> codes{kConstCode, kArgRefCode, kSelectCode, kRepeatCode};
  const auto expect_round_trip = [&codes](NodeTag tag, std::uint8_t op) {
    const std::uint8_t code = node_code(tag, op);
    EXPECT_TRUE(codes.insert(code).second) << "code " << int{code} << " given twice";
    EXPECT_EQ(node_of_code(code), std::pair(tag, op));
  };
  for (const UnaryOp op : kUnaryOps) expect_round_trip(NodeTag::Unary, static_cast<std::uint8_t>(op));
  for (const BinaryOp op : kBinaryOps) expect_round_trip(NodeTag::Binary, static_cast<std::uint8_t>(op));
  for (std::uint8_t op = 0; op < 6; ++op) expect_round_trip(NodeTag::Compare, op);
  EXPECT_EQ(node_code(NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Tan)), 22);
  EXPECT_EQ(node_code(NodeTag::Unary, 20), 110);
  EXPECT_EQ(node_of_code(kRepeatCode), std::nullopt);
}

TEST(KernelKeyTest, ConstantsCompareByBitPattern) {
  EXPECT_NE(build_kernel_key(num(0.0)), build_kernel_key(num(-0.0)));
  const double nan_a = std::bit_cast<double>(0x7ff8000000000001ULL);
  const double nan_b = std::bit_cast<double>(0x7ff8000000000002ULL);
  EXPECT_NE(build_kernel_key(num(nan_a)), build_kernel_key(num(nan_b)));
  EXPECT_EQ(build_kernel_key(num(nan_a)), build_kernel_key(num(nan_a)));
}

TEST(KernelKeyTest, RepeatedSubtreesReferToTheirFirstPlace) {
  // (x + y) * (x + y): the second sum is a reference to the first, at 1.
  const ExprTree sum = ExprTree::binary(BinaryOp::Add, arg(0), arg(1));
  const KernelKey key = build_kernel_key(mul(sum, sum));
  EXPECT_EQ(key.ops, (std::vector<std::uint8_t>{32, 30, 1, 1, 90}));
  EXPECT_EQ(key.arg_slots, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(key.repeats, std::vector<std::uint64_t>{1});
  // Leaves are written at every place.
  const KernelKey square = build_kernel_key(mul(arg(0), arg(0)));
  EXPECT_EQ(square.ops, (std::vector<std::uint8_t>{32, 1, 1}));
  EXPECT_TRUE(square.repeats.empty());
  EXPECT_NE(build_kernel_key(mul(sum, ExprTree::binary(BinaryOp::Add, arg(1), arg(0)))), key);
}

TEST(KernelKeyTest, ASquaringChainOfSixtyIsLinear) {
  // e = e * e sixty times expands to 2^61 - 1 nodes: each product is written
  // once, its second operand a reference to its first.
  SharedTree e = SharedTree::arg_ref(0, "x");
  for (int i = 0; i < 60; ++i) e = SharedTree::binary(BinaryOp::Mul, e, e);
  const KernelKey key = build_kernel_key(ExprGraph::of(e));
  std::vector<std::uint8_t> ops(60, 32);
  ops.push_back(1);
  ops.push_back(1);
  ops.insert(ops.end(), 59, 90);
  EXPECT_EQ(key.ops, ops);
  std::vector<std::uint64_t> repeats;
  for (std::uint64_t place = 59; place >= 1; --place) repeats.push_back(place);
  EXPECT_EQ(key.repeats, repeats);
  EXPECT_EQ(key.arg_slots, (std::vector<std::uint64_t>{0, 0}));
}

void append_u64(std::vector<std::uint8_t>& bytes, std::uint64_t word) {
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
}

TEST(FingerprintTest, HashesLengthPrefixedLittleEndianSections) {
  const KernelKey key{{30, 32, 1, 0, 1}, {std::bit_cast<std::uint64_t>(2.0)}, {1, 0}, {}};
  std::vector<std::uint8_t> bytes;
  append_u64(bytes, 5);
  bytes.insert(bytes.end(), key.ops.begin(), key.ops.end());
  append_u64(bytes, 1);
  append_u64(bytes, key.consts[0]);
  append_u64(bytes, 2);
  append_u64(bytes, 1);
  append_u64(bytes, 0);
  EXPECT_EQ(fingerprint(key), siphash13(bytes));
}

TEST(FingerprintTest, RepeatsFollowTheOtherSectionsWhenThereAreAny) {
  const KernelKey key{{32, 30, 1, 1, 90}, {}, {0, 1}, {1}};
  std::vector<std::uint8_t> bytes;
  append_u64(bytes, 5);
  bytes.insert(bytes.end(), key.ops.begin(), key.ops.end());
  append_u64(bytes, 0);
  append_u64(bytes, 2);
  append_u64(bytes, 0);
  append_u64(bytes, 1);
  append_u64(bytes, 1);
  append_u64(bytes, 1);
  EXPECT_EQ(fingerprint(key), siphash13(bytes));
}

TEST(FingerprintTest, LengthPrefixesSeparateTheSections) {
  // Same bytes overall, split differently between the sections.
  const KernelKey a{{1}, {2, 3}, {}, {}};
  const KernelKey b{{1}, {2}, {3}, {}};
  EXPECT_NE(fingerprint(a), fingerprint(b));
}

}  // namespace
}  // namespace bmx

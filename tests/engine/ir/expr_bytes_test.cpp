// Bytes of expressions and kernels: the exact layout, round trips, fresh
// argument ids, and a refusal with a message for every kind of bad input.
#include "ir/expr_bytes.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "expr/expr_format.h"
#include "expr/temp_id.h"
#include "ir/kernel_key.h"

namespace bmx {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::initializer_list<int> values) {
  Bytes out;
  for (const int value : values) out.push_back(static_cast<std::uint8_t>(value));
  return out;
}

// `y * 2 + x`'s kernel with `y` in slot 1: Binary(Add, Binary(Mul, ArgRef(1), Const(2.0)), ArgRef(0)).
KernelSpec sample_kernel() {
  return KernelSpec{{"x", "y"},
                    ExprTree::binary(BinaryOp::Add,
                                     ExprTree::binary(BinaryOp::Mul, ExprTree::arg_ref(1), ExprTree::constant(2.0)),
                                     ExprTree::arg_ref(0))};
}

const Bytes kSampleKernelBytes = bytes_of({'B', 'M', 'X', 'K', 1,                 // magic, version
                                           2, 1, 'x', 1, 'y',                     // names
                                           5,                                     // node count
                                           1, 1,                                  // ArgRef 1
                                           0, 0, 0, 0, 0, 0, 0, 0, 0x40,          // Const 2.0
                                           32,                                    // Binary Mul
                                           1, 0,                                  // ArgRef 0
                                           30});                                  // Binary Add

TEST(KernelBytesTest, LayoutIsExact) { EXPECT_EQ(encode_kernel(sample_kernel()), kSampleKernelBytes); }

TEST(KernelBytesTest, RoundTripsEveryNodeKindAndConstantBits) {
  const double nan_with_payload = std::bit_cast<double>(std::uint64_t{0x7FF0000000000123});
  const KernelSpec kernel{
      {"a", "", "\xc3\xa9t\xc3\xa9"},
      ExprTree::select(ExprTree::compare(CompareOp::Ne, ExprTree::arg_ref(2), ExprTree::constant(-0.0)),
                       ExprTree::unary(UnaryOp::Tan, ExprTree::arg_ref(0)),
                       ExprTree::binary(BinaryOp::Max, ExprTree::arg_ref(1), ExprTree::constant(nan_with_payload)))};
  const Result<KernelSpec> decoded = decode_kernel(encode_kernel(kernel));
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  EXPECT_EQ(decoded.value().arg_names, kernel.arg_names);
  EXPECT_EQ(decoded.value().tree, kernel.tree);
  const Result<KernelSpec> sample = decode_kernel(kSampleKernelBytes);
  ASSERT_TRUE(sample.ok());
  EXPECT_EQ(sample.value().tree, sample_kernel().tree);
}

TEST(ExprBytesTest, LayoutOfAnExpression) {
  const Expr y = make_arg("y");
  const Expr x = make_arg("x");
  // x was made after y: y takes slot 0.
  EXPECT_EQ(encode_expr(binary_expr(BinaryOp::Sub, x, y)),
            bytes_of({'B', 'M', 'X', 'E', 1, 0, 2, 1, 'y', 1, 'x', 3, 1, 1, 1, 0, 31}));
  EXPECT_EQ(encode_expr(x), bytes_of({'B', 'M', 'X', 'E', 1, 1, 1, 1, 'x', 1, 1, 0}));
}

TEST(ExprBytesTest, DecodingDrawsFreshIdsAndKeepsNamesShapeAndSlots) {
  const Expr y = make_arg("y");
  const Expr x = make_arg("x");
  const Expr e = select_expr(compare_expr(CompareOp::Gt, x, make_const(0.5)), binary_expr(BinaryOp::Mul, y, x), x);
  const Result<Expr> decoded = decode_expr(encode_expr(e));
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  const TempArgs names = collect_temp_args(decoded.value().tree);
  ASSERT_EQ(names.size(), 2u);
  const std::uint64_t new_y = names.begin()->first;
  const std::uint64_t new_x = std::next(names.begin())->first;
  EXPECT_GT(new_y, x.tree.root().payload());
  EXPECT_EQ(new_x, new_y + 1);
  EXPECT_EQ(names.at(new_y), "y");
  EXPECT_EQ(names.at(new_x), "x");
  const std::string sx = std::to_string(new_x);
  const std::string sy = std::to_string(new_y);
  EXPECT_EQ(expr_repr(decoded.value()), "Expr(Select(Compare(Gt, ArgRef(" + sx + "), Const(0.5)), Binary(Mul, ArgRef(" +
                                            sy + "), ArgRef(" + sx + ")), ArgRef(" + sx + ")))");
  EXPECT_FALSE(decoded.value().arg_name.has_value());
  // The same kernel, to the bit.
  const Result<KernelSpec> before = elementwise(e);
  const Result<KernelSpec> after = elementwise(decoded.value());
  ASSERT_TRUE(before.ok() && after.ok());
  EXPECT_EQ(after.value().arg_names, before.value().arg_names);
  EXPECT_EQ(after.value().tree, before.value().tree);
  EXPECT_EQ(encode_expr(decoded.value()), encode_expr(e));
}

TEST(ExprBytesTest, ABareArgumentKeepsItsName) {
  const Result<Expr> decoded = decode_expr(encode_expr(make_arg("speed")));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().arg_name, "speed");
  EXPECT_EQ(expr_repr(decoded.value()), "Expr(speed)");
  // After a rewrite the argument still prints as its name, and so does its copy.
  const Expr moved = rewrite_args(make_arg("v"), {});
  EXPECT_EQ(expr_repr(decode_expr(encode_expr(moved)).value()), "Expr(v)");
}

TEST(ExprBytesTest, IdsAreDrawnOnlyForValidBytes) {
  Bytes bad = encode_expr(binary_expr(BinaryOp::Add, make_arg("a"), make_arg("b")));
  bad.back() = 99;
  const std::uint64_t before = next_temp_id();
  EXPECT_FALSE(decode_expr(bad).ok());
  EXPECT_EQ(next_temp_id(), before + 1);
}

struct BadCase {
  const char* what;
  Bytes bytes;
  std::string message;
};

std::vector<BadCase> bad_kernel_cases() {
  // The code the next unary operator will take, unknown until then.
  const int past_unary = node_code(NodeTag::Unary, static_cast<std::uint8_t>(kUnaryOps.size() - 1)) + 1;
  return {
      {"empty", {}, "truncated at byte 0"},
      {"magic", bytes_of({'B', 'M', 'X', 'E', 1, 1, 1, 'x', 1, 1, 0}), "bad magic"},
      {"version", bytes_of({'B', 'M', 'X', 'K', 2, 1, 1, 'x', 1, 1, 0}), "unsupported version 2"},
      {"no names", bytes_of({'B', 'M', 'X', 'K', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "no argument names"},
      {"duplicate name", bytes_of({'B', 'M', 'X', 'K', 1, 2, 1, 'x', 1, 'x', 3, 1, 0, 1, 1, 30}),
       "argument slot 1 repeats an earlier name"},
      {"name count", bytes_of({'B', 'M', 'X', 'K', 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
       "name count 4294967295 at byte 5 exceeds the 0 bytes left"},
      {"name length", bytes_of({'B', 'M', 'X', 'K', 1, 1, 9, 'x'}), "name length 9 at byte 6 exceeds the 1 bytes left"},
      {"name not utf-8", bytes_of({'B', 'M', 'X', 'K', 1, 1, 2, 0xED, 0xA0, 1, 1, 0}), "name 0 is not UTF-8"},
      {"overlong varint", bytes_of({'B', 'M', 'X', 'K', 1, 0x81, 0x00}), "bad varint at byte 5"},
      {"varint past 64 bits",
       bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 1, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}),
       "bad varint at byte 10"},
      {"no nodes", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 0}), "no nodes"},
      {"node count", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 3, 1, 0}),
       "node count 3 at byte 8 exceeds the 2 bytes left"},
      {"unknown code", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 2, 1, 0, past_unary}),
       "unknown node code " + std::to_string(past_unary) + " at byte 11"},
      {"unknown binary", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 2, 1, 0, 46}), "unknown node code 46 at byte 11"},
      {"unknown compare", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 2, 1, 0, 56}), "unknown node code 56 at byte 11"},
      {"slot range", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 1, 1, 1}),
       "argument slot 1 at byte 9 is out of range (1 names)"},
      {"slot unused", bytes_of({'B', 'M', 'X', 'K', 1, 2, 1, 'x', 1, 'y', 1, 1, 1}), "argument slot 0 is never used"},
      {"operands", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 2, 1, 0, 30}), "operator at byte 11 lacks operands"},
      {"select operands", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 3, 1, 0, 1, 0, 70}),
       "operator at byte 13 lacks operands"},
      {"two trees", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 2, 1, 0, 1, 0}), "the nodes form 2 trees, not one"},
      {"truncated constant", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 2, 1, 0, 0, 1, 2}), "truncated at byte 14"},
      {"trailing", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 1, 1, 0, 7}), "trailing bytes at byte 11"},
  };
}

TEST(KernelBytesTest, EveryKindOfBadInputIsRefusedWithItsMessage) {
  for (const BadCase& bad : bad_kernel_cases()) {
    const Result<KernelSpec> decoded = decode_kernel(bad.bytes);
    ASSERT_FALSE(decoded.ok()) << bad.what;
    EXPECT_EQ(decoded.error(), ComputeError::arg(std::string("invalid kernel bytes: ") + bad.message)) << bad.what;
  }
}

TEST(ExprBytesTest, BadInputIsRefusedWithItsMessage) {
  const std::vector<BadCase> cases = {
      {"magic", bytes_of({'B', 'M', 'X', 'K', 1, 1, 1, 'x', 1, 1, 0}), "bad magic"},
      {"flags", bytes_of({'B', 'M', 'X', 'E', 1, 2, 1, 1, 'x', 1, 1, 0}), "bad flags 2"},
      {"bare flag on an operator", bytes_of({'B', 'M', 'X', 'E', 1, 1, 1, 1, 'x', 2, 1, 0, 10}),
       "bare argument flag on a tree that is not one argument"},
      {"bare flag on a constant", bytes_of({'B', 'M', 'X', 'E', 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       "bare argument flag on a tree that is not one argument"},
      {"slot unused", bytes_of({'B', 'M', 'X', 'E', 1, 0, 2, 1, 'x', 1, 'x', 1, 1, 1}),
       "argument slot 0 is never used"},
      // An expression of constants only: no expression the encoder is given
      // from Python has no argument.
      {"no names", bytes_of({'B', 'M', 'X', 'E', 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "no argument names"},
      {"no names, an operator", bytes_of({'B', 'M', 'X', 'E', 1, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10}),
       "no argument names"},
  };
  for (const BadCase& bad : cases) {
    const Result<Expr> decoded = decode_expr(bad.bytes);
    ASSERT_FALSE(decoded.ok()) << bad.what;
    EXPECT_EQ(decoded.error(), ComputeError::arg(std::string("invalid expression bytes: ") + bad.message)) << bad.what;
  }
  // Arguments sharing a name are valid.
  EXPECT_TRUE(decode_expr(bytes_of({'B', 'M', 'X', 'E', 1, 0, 2, 1, 'x', 1, 'x', 3, 1, 0, 1, 1, 30})).ok());
}

}  // namespace
}  // namespace bmx

// The block stack machine against the per-element reference, bit for bit.
#include "eval/flat_block_eval.h"

#include <gtest/gtest.h>

#include "eval/block_loop.h"
#include "eval_test_support.h"

namespace bmx {
namespace {

using namespace eval_test;

TEST(FlatBlockEval, RandomProgramsMatchEvalFlatBitwise) {
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    std::mt19937_64 rng(seed);
    const std::size_t slot_count = 1 + rng() % 4;
    const ExprTree tree = random_tree(rng, 1 + static_cast<int>(rng() % 12), slot_count, false);
    const std::vector<ArgSlot> slots = random_slots(rng, slot_count, kMaxLength);
    const std::vector<SlotView> views = make_slot_views(slots);
    const FlatKernel kernel = flatten(tree);
    const std::vector<double> expected = reference_values(kernel, slots, views, kMaxLength);
    const FlatBlockProgram program(kernel, slots, views, kMaxLength);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(tree.nodes().size()) + " nodes");
    expect_ranges(program, expected, rng);
  }
}

// A stack too deep for full blocks within the budget runs in shorter blocks.
TEST(FlatBlockEval, DeepStacksUseShorterBlocks) {
  std::mt19937_64 rng(7);
  constexpr std::size_t kLevels = 1000;
  std::vector<ExprNode> nodes;
  for (std::size_t k = 0; k < kLevels; ++k) {
    nodes.push_back({NodeTag::ArgRef, 0, 0, k % 2});
    nodes.push_back({NodeTag::Unary, static_cast<std::uint8_t>(k % std::size(kUnaryOps)), 0, 0});
  }
  nodes.push_back({NodeTag::ArgRef, 0, 0, 1});
  for (std::size_t k = 0; k < kLevels; ++k) {
    nodes.push_back({k % 3 == 0 ? NodeTag::Compare : NodeTag::Binary, static_cast<std::uint8_t>(k % 6), 0, 0});
  }
  const FlatKernel kernel = flatten(ExprTree::from_post_order(std::move(nodes)));
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(random_values(rng, 3000)), 0.75};
  const std::vector<SlotView> views = make_slot_views(slots);
  const FlatBlockProgram program(kernel, slots, views, 3000);
  EXPECT_LT(program.block_length(), kBlockLength);
  EXPECT_LE(program.block_length() * kernel.max_depth * sizeof(double), kBlockWorkspaceBytes);
  expect_range(program, reference_values(kernel, slots, views, 3000), 0, 3000);
}

// Blocks cover a range once, in order, none longer than the block length, and
// every block after the first starts on a cache line of the output, wherever
// the output starts (a block shorter than a line cannot).
TEST(FlatBlockEval, BlocksAfterTheFirstStartOnACacheLineOfTheOutput) {
  constexpr std::size_t kLine = kLineBytes / sizeof(double);
  alignas(kLineBytes) static double memory[3 * kBlockLength];
  for (const std::size_t block_length : {std::size_t{1}, std::size_t{5}, kLine, std::size_t{100}, kBlockLength}) {
    for (std::size_t offset = 0; offset < kLine; ++offset) {
      for (const std::size_t count : {std::size_t{0}, std::size_t{3}, std::size_t{9}, 2 * kBlockLength + 7}) {
        SCOPED_TRACE(std::to_string(block_length) + " per block, offset " + std::to_string(offset) + ", " +
                     std::to_string(count) + " elements");
        double* const out = memory + offset;
        std::size_t next = 5;
        std::size_t blocks = 0;
        for_each_block(5, 5 + count, 5 + count, block_length, out,
                       [&](std::size_t start, std::size_t length, double* block_out) {
                         EXPECT_EQ(start, next);
                         EXPECT_GE(length, 1u);
                         EXPECT_LE(length, block_length);
                         EXPECT_EQ(block_out, out + (start - 5));
                         if (blocks++ > 0 && block_length >= kLine) {
                           EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block_out) % kLineBytes, 0u);
                         }
                         next = start + length;
                       });
        EXPECT_EQ(next, 5 + count);
      }
    }
  }
}

// A program that is one chain loop from its operands into the output keeps
// no values of its own and takes its whole range as one block; one whose chain
// cannot run over its operands, or that keeps values between loops, takes
// blocks that fit its workspace. Both give the reference's bits.
TEST(FlatBlockEval, OneLoopProgramsTakeTheirWholeRangeAsOneBlock) {
  using enum BinaryOp;
  constexpr std::size_t kLength = 3000;
  std::mt19937_64 rng(11);
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(random_values(rng, kLength)),
                                   Buffer::from_f64_vec(random_values(rng, kLength)), 0.5};
  const std::vector<SlotView> views = make_slot_views(slots);
  const auto arg = [](std::size_t slot) { return ExprTree::arg_ref(slot); };
  const auto bin = [](BinaryOp op, ExprTree l, ExprTree r) { return ExprTree::binary(op, std::move(l), std::move(r)); };
  const auto squares = [&](std::size_t second) {
    return bin(Add, bin(Mul, arg(0), arg(0)), bin(Mul, arg(second), arg(second)));
  };
  const std::vector<std::pair<ExprTree, std::size_t>> cases{
      {bin(Add, bin(Mul, ExprTree::constant(2.0), arg(0)), arg(1)), kLength},
      {ExprTree::unary(UnaryOp::Sqrt, squares(1)), kLength},
      {bin(Sub, arg(2), bin(Div, arg(1), arg(0))), kLength},
      {squares(2), kBlockLength},
      {bin(Mul, bin(Add, arg(0), arg(1)), bin(Sub, arg(0), arg(1))), kBlockLength},
      {ExprTree::unary(UnaryOp::Sqrt, arg(0)), kBlockLength},
  };
  for (const auto& [tree, block_length] : cases) {
    const FlatKernel kernel = flatten(tree);
    const FlatBlockProgram program(kernel, slots, views, kLength);
    EXPECT_EQ(program.block_length(), block_length);
    const std::vector<double> expected = reference_values(kernel, slots, views, kLength);
    expect_range(program, expected, 0, kLength);
    expect_range(program, expected, 3, kLength - 5);
  }
}

TEST(FlatBlockEval, ProgramsEndingInALoadOrAScalar) {
  const F64Vec data{1.0, -0.0, 3.5};
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(data), 2.0};
  const std::vector<SlotView> views = make_slot_views(slots);
  const std::vector<std::pair<ExprTree, std::vector<double>>> cases{
      {ExprTree::arg_ref(0), {1.0, -0.0, 3.5}},
      {ExprTree::arg_ref(1), {2.0, 2.0, 2.0}},
      {ExprTree::constant(-0.0), {-0.0, -0.0, -0.0}},
      {ExprTree::binary(BinaryOp::Pow, ExprTree::arg_ref(1), ExprTree::constant(3.0)), {8.0, 8.0, 8.0}},
  };
  for (const auto& [tree, expected] : cases) {
    const FlatKernel kernel = flatten(tree);
    const FlatBlockProgram program(kernel, slots, views, 3);
    std::vector<double> out(3);
    program.run(0, 3, out.data());
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bits(out[i]), bits(expected[i]));
  }
}

TEST(FlatBlockEval, BrokenPreconditionsAreInternalFailures) {
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec{1.0, 2.0}), 2.0};
  const std::vector<SlotView> views = make_slot_views(slots);
  const FlatKernel reads_slot_2 = flatten(ExprTree::arg_ref(2));
  EXPECT_THROW(FlatBlockProgram(reads_slot_2, slots, views, 2), InternalFailure);

  const FlatKernel reads_slot_0 = flatten(ExprTree::arg_ref(0));
  EXPECT_THROW(FlatBlockProgram(reads_slot_0, slots, views, 3), InternalFailure);
  const std::vector<SlotView> missing_view{std::nullopt, std::nullopt};
  EXPECT_THROW(FlatBlockProgram(reads_slot_0, slots, missing_view, 2), InternalFailure);

  const FlatKernel underflow{{{InstrKind::PushConst, 0, 0}, {InstrKind::ApplyBinary, 0, 0}}, 1};
  EXPECT_THROW(FlatBlockProgram(underflow, slots, views, 2), InternalFailure);
  const FlatKernel empty{{}, 0};
  EXPECT_THROW(FlatBlockProgram(empty, slots, views, 2), InternalFailure);
  const FlatKernel bad_op{{{InstrKind::PushConst, 0, 0}, {InstrKind::ApplyUnary, std::size(kUnaryOps), 0}}, 1};
  EXPECT_THROW(FlatBlockProgram(bad_op, slots, views, 2), InternalFailure);

  const FlatBlockProgram program(reads_slot_0, slots, views, 2);
  std::vector<double> out(3);
  EXPECT_THROW(program.run(0, 3, out.data()), InternalFailure);
}

}  // namespace
}  // namespace bmx

// The range split weighs elements by what they cost: cheap ones split where
// they always did, costly ones go to the pool sooner and in smaller pieces,
// and the values are the same bits at every new split point and thread count.
#include "eval/element_cost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "eval/evaluate.h"
#include "eval/run_range.h"
#include "eval/typed_eval.h"
#include "eval_test_support.h"
#include "ir/compiled_kernel.h"

namespace bmx {
namespace {

using namespace eval_test;

using Piece = std::pair<std::size_t, std::size_t>;

/// The pieces run_range cuts [0, n) into, in order; they must cover it once.
std::vector<Piece> pieces_of(std::size_t n, std::size_t min_piece, std::size_t cost) {
  std::mutex mutex;
  std::vector<Piece> pieces;
  run_range(
      n, min_piece,
      [&](std::size_t begin, std::size_t end) {
        const std::scoped_lock lock(mutex);
        pieces.emplace_back(begin, end);
      },
      cost);
  std::ranges::sort(pieces);
  std::size_t next = 0;
  for (const auto& [begin, end] : pieces) {
    EXPECT_EQ(begin, next);
    next = end;
  }
  EXPECT_EQ(next, n);
  return pieces;
}

std::size_t shortest(const std::vector<Piece>& pieces) {
  std::size_t least = ~std::size_t{0};
  for (const auto& [begin, end] : pieces) least = std::min(least, end - begin);
  return least;
}

ExprTree slot_ref(std::uint64_t id) { return ExprTree::arg_ref(id); }

/// sin(x) * exp(-x): the package benchmark's costly row.
ExprTree sin_times_exp() {
  return ExprTree::binary(BinaryOp::Mul, ExprTree::unary(UnaryOp::Sin, slot_ref(0)),
                          ExprTree::unary(UnaryOp::Exp, ExprTree::unary(UnaryOp::Neg, slot_ref(0))));
}

/// where(x > y, arctan2(x, y), cbrt(y)): a Select whose branches are costly.
ExprTree costly_select() {
  return ExprTree::select(ExprTree::compare(CompareOp::Gt, slot_ref(0), slot_ref(1)),
                          ExprTree::binary(BinaryOp::Atan2, slot_ref(0), slot_ref(1)),
                          ExprTree::unary(UnaryOp::Cbrt, slot_ref(1)));
}

TEST(ElementCost, CheapElementsSplitWhereTheyAlwaysDid) {
  const ThreadSetting two(2);
  const ExprTree where_positive =
      ExprTree::select(ExprTree::compare(CompareOp::Gt, slot_ref(0), ExprTree::constant(0.0)), slot_ref(0),
                       ExprTree::constant(0.0));
  const ExprTree squares = ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, slot_ref(0), slot_ref(0)),
                                            ExprTree::binary(BinaryOp::Mul, slot_ref(1), slot_ref(1)));
  EXPECT_LE(element_cost(flatten(x_times_2_plus_y())), kCheapElement);
  EXPECT_LE(element_cost(flatten(squares)), kCheapElement);
  EXPECT_LE(element_cost(where_positive), kCheapElement);
  for (const std::size_t cost : {std::size_t{0}, std::size_t{2}, kCheapElement}) {
    SCOPED_TRACE("cost " + std::to_string(cost));
    EXPECT_EQ(pieces_of(kSequentialThreshold - 1, kMinFlatPiece, cost).size(), 1U);
    const std::vector<Piece> split = pieces_of(kSequentialThreshold, kMinFlatPiece, cost);
    EXPECT_GT(split.size(), 1U);
    EXPECT_GE(shortest(split), kMinFlatPiece);
  }
}

TEST(ElementCost, CostlyElementsGoToThePoolSoonerInSmallerPieces) {
  const ThreadSetting two(2);
  const std::size_t cost = element_cost(flatten(sin_times_exp()));
  // Worth splitting at the package benchmark's thousand elements.
  const std::size_t threshold = weighed(kSequentialThreshold, cost);
  ASSERT_LE(threshold, 1000U);
  EXPECT_EQ(pieces_of(threshold - 1, kMinFlatPiece, cost).size(), 1U);
  const std::vector<Piece> split = pieces_of(threshold, kMinFlatPiece, cost);
  EXPECT_GT(split.size(), 1U);
  EXPECT_LT(shortest(split), kMinFlatPiece);
  EXPECT_GE(shortest(split), weighed(kMinFlatPiece, cost));
  // However costly, a single element runs on the calling thread, and no
  // piece is empty.
  const std::size_t huge = ~std::size_t{0} / 2;
  EXPECT_EQ(pieces_of(1, kMinFlatPiece, huge).size(), 1U);
  EXPECT_EQ(pieces_of(2, kMinFlatPiece, huge).size(), 2U);
  // One thread set: never the pool.
  const ThreadSetting one(1);
  EXPECT_EQ(pieces_of(100000, kMinFlatPiece, cost).size(), 1U);
}

TEST(ElementCost, WeighingNeverOverflowsNorReachesZero) {
  EXPECT_EQ(weighed(kSequentialThreshold, kCheapElement), kSequentialThreshold);
  EXPECT_EQ(weighed(1024, 9 * kCheapElement), 1024U / 9);
  EXPECT_EQ(weighed(~std::size_t{0}, kCheapElement), ~std::size_t{0});
  EXPECT_EQ(weighed(~std::size_t{0}, 2 * kCheapElement), ~std::size_t{0} / 2);
  EXPECT_EQ(weighed(1, ~std::size_t{0}), 1U);
}

/// Lengths at the split points of elements of `cost` against pieces of at
/// least `min_piece`: the sequential threshold and two least pieces, each
/// with its neighbours.
std::vector<std::size_t> split_lengths(std::size_t cost, std::size_t min_piece) {
  const std::size_t threshold = weighed(kSequentialThreshold, std::max(cost, kCheapElement));
  const std::size_t pair = 2 * weighed(min_piece, std::max(cost, kCheapElement));
  return {threshold - 1, threshold, threshold + 1, pair - 1, pair, pair + 1, 2 * threshold + 3};
}

TEST(ElementCost, CostlyKernelsGiveTheReferenceBitsAtEveryNewSplitPoint) {
  std::mt19937_64 rng(2901);
  const std::vector<ArgSlot> slots = random_slots(rng, 2, kMaxLength);
  const std::vector<SlotView> views = make_slot_views(slots);
  const std::vector<SlotSource> sources = make_slot_sources(slots, views, kMaxLength);
  for (const ExprTree& tree : {sin_times_exp(), costly_select()}) {
    const CompiledKernel compiled = compile_kernel(tree);
    const std::size_t cost = std::holds_alternative<FlatKernel>(compiled) ? element_cost(flatten(tree))
                                                                           : element_cost(tree);
    const std::size_t min_piece = std::holds_alternative<FlatKernel>(compiled) ? kMinFlatPiece : kMinTreePiece;
    ASSERT_GT(cost, kCheapElement);
    const std::vector<double> expected = contains_select(tree)
                                             ? reference_values(tree, slots, views, kMaxLength)
                                             : reference_values(flatten(tree), slots, views, kMaxLength);
    for (const std::size_t threads : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      const ThreadSetting setting(threads);
      for (const std::size_t n : split_lengths(cost, min_piece)) {
        SCOPED_TRACE(std::to_string(threads) + " threads, n = " + std::to_string(n));
        std::vector<double> out(n);
        evaluate_into(compiled, sources, out);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(out[i]), bits(expected[i])) << "element " << i;
      }
    }
  }
}

TEST(ElementCost, CostlyTypedProgramsGiveTheSameBitsAtEveryNewSplitPoint) {
  using enum ElementType;
  const auto step = [](TypedKind kind, TypedOp op = TypedOp::Add) {
    return TypedInstr{kind, static_cast<std::uint8_t>(op), Float64, 0};
  };
  // sin(x) * exp(-x) over float64.
  const TypedProgram program =
      TypedProgram::compile({step(TypedKind::Load), step(TypedKind::Apply, TypedOp::Sin), step(TypedKind::Load),
                             step(TypedKind::Apply, TypedOp::Negative), step(TypedKind::Apply, TypedOp::Exp),
                             step(TypedKind::Apply, TypedOp::Multiply)},
                            {}, 1)
          .value();
  ASSERT_EQ(program.element_cost(), element_cost(flatten(sin_times_exp())));
  std::mt19937_64 rng(2902);
  const F64Vec x = random_values(rng, 40000);
  const std::vector<TypedInput> inputs = {
      {reinterpret_cast<const unsigned char*>(x.data()), Float64, {static_cast<std::ptrdiff_t>(sizeof(double))}}};
  // The typed runner's least piece: 16384 cheap elements' worth.
  for (const std::size_t n : split_lengths(program.element_cost(), 16384)) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const std::size_t shape[] = {n};
    std::vector<double> one(n), several(n);
    {
      const ThreadSetting setting(1);
      ASSERT_TRUE(evaluate_typed(program, inputs, shape, one.data()));
    }
    for (const std::size_t threads : {std::size_t{2}, std::size_t{3}}) {
      const ThreadSetting setting(threads);
      ASSERT_TRUE(evaluate_typed(program, inputs, shape, several.data()));
      EXPECT_EQ(std::memcmp(one.data(), several.data(), n * sizeof(double)), 0) << threads << " threads";
    }
  }
}

}  // namespace
}  // namespace bmx

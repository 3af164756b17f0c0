// Chains of two operators in one loop against the two operators one after
// the other, bit for bit, at every level, and the programs that run them
// against the per-element reference.
#include "eval/chain_loops.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "eval/evaluate.h"
#include "eval/flat_block_eval.h"
#include "eval/isa_loops.h"
#include "eval/operators.h"
#include "eval_test_support.h"

namespace bmx {
namespace {

using namespace eval_test;
using Chain = FlatBlockProgram::Chain;
using enum FlatBlockProgram::ChainForm;

// NaN payloads of both signs, signed zeros, infinities, a subnormal and
// ordinary numbers, so that any change of operand order or rounding shows.
std::vector<double> chain_values(std::mt19937_64& rng, std::size_t n) {
  const double nan_a = std::bit_cast<double>(std::uint64_t{0x7ff8000000000005});
  const double nan_b = std::bit_cast<double>(std::uint64_t{0xfff8000000000003});
  const std::vector<double> special{nan_a, nan_b, 0.0, -0.0, kInf, -kInf, 5e-324, 1e308, -3.0};
  std::normal_distribution<double> normal;
  std::vector<double> values(n);
  for (std::size_t k = 0; k < n; ++k) values[k] = rng() % 4 == 0 ? special[rng() % special.size()] : normal(rng);
  return values;
}

template <BinaryOp inner, BinaryOp outer>
double unchained(double a, double b, double c, bool inner_right, bool root) {
  const double value = binary_value<inner>(a, b);
  const double result = inner_right ? binary_value<outer>(c, value) : binary_value<outer>(value, c);
  return root ? unary_value<UnaryOp::Sqrt>(result) : result;
}

template <std::size_t inner, std::size_t outer>
void expect_chain_entries(const ChainLoops& loops, std::mt19937_64& rng) {
  constexpr std::size_t kLongest = 3 * 8 + 3;  // past the widest vector's tail
  for (int shape = 0; shape < static_cast<int>(kChainShapes); ++shape) {
    for (const bool c_scalar : {false, true}) {
      for (const int form : {0, 1, 2, 3}) {
        const bool inner_right = form % 2 != 0;
        const bool root = form / 2 != 0;
        const auto chain_shape = static_cast<ChainShape>(shape);
        const ChainLoops::Loop loop =
            loops.loops[ChainLoops::index(inner, outer, chain_shape, c_scalar, inner_right, root)];
        for (std::size_t n = 0; n <= kLongest; ++n) {
          const std::vector<double> a = chain_values(rng, n + 1), b = chain_values(rng, n + 1),
                                    c = chain_values(rng, n + 1);
          const SlotSource a_source{chain_shape == ChainShape::LeftScalar ? nullptr : a.data(), a[n]};
          const SlotSource b_source{chain_shape == ChainShape::RightScalar ? nullptr : b.data(), b[n]};
          const SlotSource c_source{c_scalar ? nullptr : c.data(), c[n]};
          std::vector<double> out(n);
          loop(out.data(), a_source, b_source, c_source, n);
          // Into the memory of its first array operand.
          std::vector<double> in_place = a_source.values != nullptr ? a : b;
          SlotSource a_here = a_source, b_here = b_source;
          (a_source.values != nullptr ? a_here : b_here).values = in_place.data();
          loop(in_place.data(), a_here, b_here, c_source, n);
          for (std::size_t k = 0; k < n; ++k) {
            const double expected = unchained<kChainOps[inner], kChainOps[outer]>(
                a_source.values != nullptr ? a[k] : a[n], b_source.values != nullptr ? b[k] : b[n],
                c_scalar ? c[n] : c[k], inner_right, root);
            ASSERT_EQ(bits(out[k]), bits(expected))
                << "inner " << inner << " outer " << outer << " shape " << shape << " c scalar " << c_scalar
                << " inner right " << inner_right << " root " << root << " n=" << n << " k=" << k;
            ASSERT_EQ(bits(in_place[k]), bits(expected)) << "in place, n=" << n << " k=" << k;
          }
        }
      }
    }
  }
}

TEST(ChainLoops, EveryChainHasTheBitsOfItsTwoOperatorsAtEveryLevel) {
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    SCOPED_TRACE(level);
    const ChainLoops& loops = *isa_loops(static_cast<IsaLevel>(level)).chains;
    std::mt19937_64 rng(static_cast<std::uint64_t>(level));
    [&]<std::size_t... pair>(std::index_sequence<pair...>) {
      (expect_chain_entries<pair / kChainOps.size(), pair % kChainOps.size()>(loops, rng), ...);
    }(std::make_index_sequence<kChainOps.size() * kChainOps.size()>());
  }
}

TEST(ChainLoops, EverySumOfProductsHasTheBitsOfItsOperatorsAtEveryLevel) {
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    SCOPED_TRACE(level);
    const ChainLoops& loops = *isa_loops(static_cast<IsaLevel>(level)).chains;
    std::mt19937_64 rng(static_cast<std::uint64_t>(level) + 300);
    for (const bool subtract : {false, true}) {
      for (const bool root : {false, true}) {
        const ChainLoops::Products loop = loops.products[ChainLoops::products_index(subtract, root)];
        // Squares read one array on both sides of each product.
        for (std::size_t n = 0; n <= 2 * (3 * 8 + 3) + 1; ++n) {
          const bool squares = n % 2 != 0;
          const std::vector<double> a = chain_values(rng, n), c = chain_values(rng, n);
          const std::vector<double> b = squares ? a : chain_values(rng, n), d = squares ? c : chain_values(rng, n);
          std::vector<double> out(n), in_place = c;
          loop(out.data(), a.data(), squares ? a.data() : b.data(), c.data(), squares ? c.data() : d.data(), n);
          loop(in_place.data(), a.data(), squares ? a.data() : b.data(), in_place.data(),
               squares ? in_place.data() : d.data(), n);
          for (std::size_t k = 0; k < n; ++k) {
            const double first = binary_value<BinaryOp::Mul>(a[k], b[k]);
            const double second = binary_value<BinaryOp::Mul>(c[k], d[k]);
            const double result = subtract ? binary_value<BinaryOp::Sub>(first, second)
                                           : binary_value<BinaryOp::Add>(first, second);
            const double expected = root ? unary_value<UnaryOp::Sqrt>(result) : result;
            ASSERT_EQ(bits(out[k]), bits(expected)) << "subtract " << subtract << " root " << root << " k=" << k;
            ASSERT_EQ(bits(in_place[k]), bits(expected)) << "in place, k=" << k;
          }
        }
      }
    }
  }
}

TEST(ChainLoops, EveryWiderLevelHasItsOwnTable) {
  if (supported_isa() >= IsaLevel::Avx2) {
    EXPECT_NE(isa_loops(IsaLevel::Avx2).chains, isa_loops(IsaLevel::Baseline).chains);
  }
  if (supported_isa() == IsaLevel::Avx512) {
    EXPECT_NE(isa_loops(IsaLevel::Avx512).chains, isa_loops(IsaLevel::Avx2).chains);
  }
}

// Conditions of every kind: signed zeros go to the other branch, NaN and
// any other value to the first; over the dense set and over an offset list.
TEST(ChainLoops, EverySelectBlendsItsBranchesByTheConditionAtEveryLevel) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> conditions{0.0, -0.0, nan, 1.0, -1.0, kInf, 5e-324};
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    SCOPED_TRACE(level);
    const ChainLoops& loops = *isa_loops(static_cast<IsaLevel>(level)).chains;
    std::mt19937_64 rng(static_cast<std::uint64_t>(level) + 100);
    for (std::size_t n = 0; n <= 3 * 8 + 3; ++n) {
      const std::vector<double> then = chain_values(rng, n + 1), other = chain_values(rng, n + 1);
      std::vector<std::uint32_t> offsets;
      for (std::uint32_t s = 0; s < n; s += 2) offsets.push_back(s);
      for (const bool then_scalar : {false, true}) {
        for (const bool other_scalar : {false, true}) {
          const ChainLoops::Select loop = loops.selects[ChainLoops::select_index(then_scalar, other_scalar)];
          const SlotSource then_source{then_scalar ? nullptr : then.data(), then[n]};
          const SlotSource other_source{other_scalar ? nullptr : other.data(), other[n]};
          for (const bool dense : {true, false}) {
            std::vector<double> values(n);
            for (std::size_t s = 0; s < n; ++s) values[s] = conditions[(s * 5 + n) % conditions.size()];
            const std::vector<double> condition = values;
            loop(values.data(), dense ? nullptr : offsets.data(), dense ? n : offsets.size(), then_source,
                 other_source);
            for (std::size_t s = 0; s < n; ++s) {
              const bool chosen = dense || s % 2 == 0;
              const double expected = !chosen                ? condition[s]
                                      : condition[s] != 0.0 ? (then_scalar ? then[n] : then[s])
                                                            : (other_scalar ? other[n] : other[s]);
              ASSERT_EQ(bits(values[s]), bits(expected))
                  << "n=" << n << " s=" << s << " dense " << dense << " scalars " << then_scalar << other_scalar;
            }
          }
        }
      }
    }
  }
}

// Every comparison, NaN and signed zeros among its operands, with either
// kind of right operand and of branch, over the dense set and an offset list.
TEST(ChainLoops, EveryCompareSelectTakesTheBranchTheComparisonChoosesAtEveryLevel) {
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    SCOPED_TRACE(level);
    const ChainLoops& loops = *isa_loops(static_cast<IsaLevel>(level)).chains;
    std::mt19937_64 rng(static_cast<std::uint64_t>(level) + 200);
    for (const CompareOp op : kCompareOps) {
      for (std::size_t n = 0; n <= 3 * 8 + 3; ++n) {
        std::vector<double> left = chain_values(rng, n + 1), right = chain_values(rng, n + 1);
        for (std::size_t s = 0; s < n; s += 3) right[s] = left[s];  // ties
        const std::vector<double> then = chain_values(rng, n + 1), other = chain_values(rng, n + 1);
        std::vector<std::uint32_t> offsets;
        for (std::uint32_t s = 1; s < n; s += 2) offsets.push_back(s);
        for (int shape = 0; shape < 8; ++shape) {
          const bool right_scalar = shape / 4 != 0, then_scalar = shape / 2 % 2 != 0, other_scalar = shape % 2 != 0;
          const ChainLoops::CompareSelect loop =
              loops.compare_selects[ChainLoops::compare_select_index(op, right_scalar, then_scalar, other_scalar)];
          const auto source = [n](const std::vector<double>& v, bool scalar) {
            return SlotSource{scalar ? nullptr : v.data(), v[n]};
          };
          for (const bool dense : {true, false}) {
            std::vector<double> values(n, 42.0);
            loop(values.data(), dense ? nullptr : offsets.data(), dense ? n : offsets.size(), source(left, false),
                 source(right, right_scalar), source(then, then_scalar), source(other, other_scalar));
            for (std::size_t s = 0; s < n; ++s) {
              const bool holds = apply_compare(op, left[s], right_scalar ? right[n] : right[s]) != 0.0;
              const double expected = !dense && s % 2 == 0 ? 42.0
                                      : holds              ? (then_scalar ? then[n] : then[s])
                                                           : (other_scalar ? other[n] : other[s]);
              ASSERT_EQ(bits(values[s]), bits(expected))
                  << op_name(op) << " n=" << n << " s=" << s << " dense " << dense << " shape " << shape;
            }
          }
        }
      }
    }
  }
}

ExprTree arg(std::size_t slot) { return ExprTree::arg_ref(slot); }
ExprTree bin(BinaryOp op, ExprTree l, ExprTree r) { return ExprTree::binary(op, std::move(l), std::move(r)); }

TEST(ChainLoops, ProgramsChainAProductWithTheSumAfterIt) {
  using enum BinaryOp;
  const Chain none{};
  // x*2 + y: the sum's right operand is pushed between the two.
  EXPECT_EQ(FlatBlockProgram::find_chains(flatten(x_times_2_plus_y()).instrs),
            (std::vector<Chain>{none, none, {InnerLeft, false}, none, none}));
  // x*x + y*y: both products and the sum in one loop; the second product is
  // also the sum's right operand, for when an operand is a number. Its
  // square root joins either.
  const ExprTree squares = bin(Add, bin(Mul, arg(0), arg(0)), bin(Mul, arg(1), arg(1)));
  EXPECT_EQ(FlatBlockProgram::find_chains(flatten(squares).instrs),
            (std::vector<Chain>{none, none, {Products, false}, none, none, {InnerRight, false}, none}));
  const ExprTree root = ExprTree::unary(UnaryOp::Sqrt, squares);
  EXPECT_EQ(FlatBlockProgram::find_chains(flatten(root).instrs),
            (std::vector<Chain>{none, none, {Products, true}, none, none, {InnerRight, true}, none, none}));
  // A constant factor makes the first product an ordinary chain.
  const ExprTree scaled = bin(Sub, bin(Mul, arg(0), arg(0)), bin(Mul, ExprTree::constant(2.0), arg(1)));
  EXPECT_EQ(FlatBlockProgram::find_chains(flatten(scaled).instrs),
            (std::vector<Chain>{none, none, none, none, none, {InnerRight, false}, none}));
  // Operators outside the chains' set, and comparisons, are never chained.
  const ExprTree powers = bin(Pow, bin(Mul, arg(0), arg(1)), arg(1));
  EXPECT_EQ(FlatBlockProgram::find_chains(flatten(powers).instrs), std::vector<Chain>(5, none));
}

/// A random tree of the chains' operators over two slots and constants.
ExprTree chain_tree(std::mt19937_64& rng, int depth) {
  if (depth == 0 || rng() % 5 == 0) {
    return rng() % 4 == 0 ? ExprTree::constant(static_cast<double>(rng() % 7) - 3.0) : arg(rng() % 2);
  }
  const BinaryOp op = kChainOps[rng() % kChainOps.size()];
  ExprTree left = chain_tree(rng, depth - 1);
  ExprTree node = bin(op, std::move(left), chain_tree(rng, depth - 1));
  return rng() % 4 == 0 ? ExprTree::unary(UnaryOp::Sqrt, std::move(node)) : node;
}

// Every level, every split of the range and thread counts of one and two
// give the reference engine's bits for programs made of chains.
TEST(ChainLoops, ChainedProgramsMatchTheReferenceAtEveryLevelSplitAndThreadCount) {
  const IsaLevel best = supported_isa();
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(seed);
    const ExprTree tree = chain_tree(rng, 1 + static_cast<int>(seed % 6));
    const std::vector<double> values = chain_values(rng, kMaxLength);
    const F64Vec x(values.begin(), values.end());
    std::vector<ArgSlot> slots{Buffer::from_f64_vec(F64Vec(x)), Buffer::from_f64_vec(F64Vec(x.rbegin(), x.rend()))};
    if (seed % 3 == 0) slots[1] = 0.5;
    const std::vector<SlotView> views = make_slot_views(slots);
    const FlatKernel kernel = flatten(tree);
    const std::vector<double> expected = reference_values(kernel, slots, views, kMaxLength);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int level = 0; level <= static_cast<int>(best); ++level) {
      ASSERT_TRUE(force_isa(static_cast<IsaLevel>(level)).ok());
      const FlatBlockProgram program(kernel, slots, views, kMaxLength);
      expect_ranges(program, expected, rng);
      for (const std::size_t threads : {1, 2}) {
        const ThreadSetting setting(threads);
        const F64Vec got = evaluate(CompiledKernel(kernel), kMaxLength, slots);
        for (std::size_t k = 0; k < kMaxLength; ++k) {
          ASSERT_EQ(bits(got[k]), bits(expected[k])) << "level " << level << " threads " << threads << " k=" << k;
        }
      }
    }
    ASSERT_TRUE(force_isa(best).ok());
  }
}

}  // namespace
}  // namespace bmx

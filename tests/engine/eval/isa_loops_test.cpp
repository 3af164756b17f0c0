#include "eval/isa_loops.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "eval/operators.h"

namespace bmx {
namespace {

// Bit-identity between levels cannot show that a level runs its own loops;
// the tables can.
TEST(IsaLoops, EverySupportedLevelHasItsOwnTableAndForcingSelectsIt) {
  const IsaLevel best = supported_isa();
  const IsaLoops* const baseline = &isa_loops(IsaLevel::Baseline);
  if (best >= IsaLevel::Avx2) {
    EXPECT_NE(&isa_loops(IsaLevel::Avx2), baseline);
  }
  if (best == IsaLevel::Avx512) {
    EXPECT_NE(&isa_loops(IsaLevel::Avx512), &isa_loops(IsaLevel::Avx2));
  }
  EXPECT_NE(isa_loops(best).flat, nullptr);
  EXPECT_NE(isa_loops(best).tree, nullptr);

  ASSERT_TRUE(force_isa(IsaLevel::Baseline).ok());
  EXPECT_EQ(&active_loops(), baseline);
  ASSERT_TRUE(force_isa(best).ok());
  EXPECT_EQ(&active_loops(), &isa_loops(best));
}

template <class T>
using BitsOf = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;

// Values whose square roots the instruction and the library could tell
// apart if either strayed: NaN payloads of both signs (a signalling one,
// quietened), negatives, signed zeros, a subnormal and infinities.
template <class T>
std::vector<T> sqrt_operands() {
  using limits = std::numeric_limits<T>;
  const BitsOf<T> quiet = std::bit_cast<BitsOf<T>>(limits::quiet_NaN());
  const BitsOf<T> sign = BitsOf<T>{1} << (sizeof(T) * 8 - 1);
  return {std::bit_cast<T>(quiet | 5), std::bit_cast<T>(sign | quiet | 3),
          std::bit_cast<T>(std::bit_cast<BitsOf<T>>(limits::signaling_NaN()) | 1),
          T{-2}, T{-0.0}, T{0}, limits::denorm_min(), T{2}, limits::infinity(), -limits::infinity(), limits::max()};
}

/// `loop(out, in, n)` gives std::sqrt's bits at every length to past the
/// widest vector and its tail, also in place.
template <class T>
void expect_library_sqrt(const char* what, auto&& loop) {
  const std::vector<T> values = sqrt_operands<T>();
  for (std::size_t n = 0; n <= 3 * 16 + 1; ++n) {
    std::vector<T> in(n), out(n);
    for (std::size_t k = 0; k < n; ++k) in[k] = values[(k * 7) % values.size()];
    loop(out.data(), in.data(), n);
    std::vector<T> in_place = in;
    loop(in_place.data(), in_place.data(), n);
    for (std::size_t k = 0; k < n; ++k) {
      const BitsOf<T> expected = std::bit_cast<BitsOf<T>>(std::sqrt(in[k]));
      ASSERT_EQ(std::bit_cast<BitsOf<T>>(out[k]), expected) << what << " n=" << n << " k=" << k;
      ASSERT_EQ(std::bit_cast<BitsOf<T>>(in_place[k]), expected) << what << " in place, n=" << n << " k=" << k;
    }
  }
}

TEST(IsaLoops, SquareRootsAreTheLibrarysAtEveryLevel) {
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    const IsaLoops& loops = isa_loops(static_cast<IsaLevel>(level));
    SCOPED_TRACE(level);
    expect_library_sqrt<double>("flat", loops.flat->unary[static_cast<std::size_t>(UnaryOp::Sqrt)]);
    const TypedLoop f64 = loops.real_loop(TypedOp::Sqrt, ElementType::Float64);
    const TypedLoop f32 = loops.real_loop(TypedOp::Sqrt, ElementType::Float32);
    ASSERT_TRUE(f64 != nullptr && f32 != nullptr);
    const auto typed = [](TypedLoop loop) {
      return [loop](auto* out, const auto* in, std::size_t n) { EXPECT_TRUE(loop(out, in, nullptr, n)); };
    };
    expect_library_sqrt<double>("float64", typed(f64));
    expect_library_sqrt<float>("float32", typed(f32));
  }
}

// Pairs whose quotient is an integer or a last place beside one, from 1 to
// beyond the quotients the loops find fmod of without it (2**28 for
// float32, 2**52 for float64), divisors at the edges of float64's range for
// it (2**+-900), and the operands fmod alone takes: zeros, infinities, NaN.
template <class T>
std::pair<std::vector<T>, std::vector<T>> floored_operands(std::size_t n) {
  using limits = std::numeric_limits<T>;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const std::vector<T> special = {T{0}, T{-0.0}, limits::infinity(), -limits::infinity(), limits::quiet_NaN(),
                                  limits::denorm_min(), limits::max(), T{2.5}, T{-0.1}};
  std::vector<T> left(n), right(n);
  for (std::size_t k = 0; k < n; ++k) {
    const int scale = static_cast<int>(rng() % 41) - 20;
    double r = std::ldexp(unit(rng), scale);
    if (sizeof(T) == 8 && k % 11 == 0) {
      r = std::ldexp(unit(rng) < 0 ? -1.0 : 1.5, (k % 2 == 0 ? 899 : -901) + static_cast<int>(rng() % 3));
    }
    const double whole = std::floor(std::exp2(static_cast<double>(rng() % (sizeof(T) == 8 ? 60 : 32))));
    T l = static_cast<T>(whole * static_cast<double>(static_cast<T>(r)));
    l = std::nextafter(l, rng() % 2 == 0 ? limits::max() : -limits::max());
    right[k] = static_cast<T>(r);
    left[k] = k % 13 == 0 ? special[k % special.size()] : (rng() % 3 == 0 ? -l : l);
    if (k % 17 == 0) right[k] = special[(k / 17) % special.size()];
  }
  return {left, right};
}

/// `loop(out, left, right, n)` gives the scalar operator's bits for every
/// pair, at lengths across the loop's chunks, also into its left operand.
template <BinaryOp op, class T>
void expect_scalar_floored(const char* what, auto&& loop, const std::vector<T>& left, const std::vector<T>& right) {
  for (const std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{255}, std::size_t{257}, left.size()}) {
    std::vector<T> out(n), in_place(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(n));
    loop(out.data(), left.data(), right.data(), n);
    loop(in_place.data(), in_place.data(), right.data(), n);
    for (std::size_t k = 0; k < n; ++k) {
      const BitsOf<T> expected = std::bit_cast<BitsOf<T>>(binary_value<op, T>(left[k], right[k]));
      ASSERT_EQ(std::bit_cast<BitsOf<T>>(out[k]), expected)
          << what << " n=" << n << " " << left[k] << " by " << right[k];
      ASSERT_EQ(std::bit_cast<BitsOf<T>>(in_place[k]), expected) << what << " in place, n=" << n << " k=" << k;
    }
  }
}

template <BinaryOp op, TypedOp typed_op>
void expect_scalar_floored_loops(const IsaLoops& loops) {
  const auto [left, right] = floored_operands<double>(1000);
  const FlatLoops::Pair pair = loops.flat->binary[static_cast<std::size_t>(op)];
  expect_scalar_floored<op>("flat", pair.both, left, right);
  // One number on either side, for a few numbers.
  for (std::size_t k = 0; k < 40; ++k) {
    const std::vector<double> same_right(left.size(), right[k]), same_left(left.size(), left[k]);
    const auto right_scalar = [&](double* out, const double* l, const double* r, std::size_t n) {
      pair.right_scalar(out, l, r[0], n);
    };
    const auto left_scalar = [&](double* out, const double* l, const double* r, std::size_t n) {
      pair.left_scalar(out, l[0], r, n);
    };
    expect_scalar_floored<op>("right scalar", right_scalar, left, same_right);
    expect_scalar_floored<op>("left scalar", left_scalar, same_left, right);
  }
  const auto typed = [](TypedLoop loop) {
    return [loop](auto* out, const auto* l, const auto* r, std::size_t n) { EXPECT_TRUE(loop(out, l, r, n)); };
  };
  const TypedLoop f64 = loops.real_loop(typed_op, ElementType::Float64);
  const TypedLoop f32 = loops.real_loop(typed_op, ElementType::Float32);
  ASSERT_TRUE(f64 != nullptr && f32 != nullptr);
  expect_scalar_floored<op>("float64", typed(f64), left, right);
  const auto [left32, right32] = floored_operands<float>(1000);
  expect_scalar_floored<op>("float32", typed(f32), left32, right32);
}

TEST(IsaLoops, FlooredDivisionAndRemainderAreTheScalarOperatorsAtEveryLevel) {
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    SCOPED_TRACE(level);
    const IsaLoops& loops = isa_loops(static_cast<IsaLevel>(level));
    expect_scalar_floored_loops<BinaryOp::FloorDiv, TypedOp::FloorDivide>(loops);
    expect_scalar_floored_loops<BinaryOp::Mod, TypedOp::Remainder>(loops);
  }
}

}  // namespace
}  // namespace bmx

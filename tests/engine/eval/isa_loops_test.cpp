#include "eval/isa_loops.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

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

}  // namespace
}  // namespace bmx

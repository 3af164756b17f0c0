// Fast math's loops: which operations have one, the program's choice by
// mode, and the same bits at every level for lengths that leave tails.
#include "eval/fast_math.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <cstring>
#include <vector>

#include "eval/typed_program.h"
#include "isa/isa_level.h"

namespace bmx {
namespace {

using enum ElementType;

class FastMath : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fast_math_missing().empty()) GTEST_SKIP() << fast_math_missing();
  }
  void TearDown() override { EXPECT_TRUE(force_isa(supported_isa()).ok()); }
};

TEST_F(FastMath, OnlyTranscendentalFunctionsOverFloatsHaveFastLoops) {
  EXPECT_NE(find_fast_loop(TypedOp::Exp, Float64), nullptr);
  EXPECT_NE(find_fast_loop(TypedOp::Hypot, Float32), nullptr);
  EXPECT_EQ(find_fast_loop(TypedOp::Sqrt, Float64), nullptr);
  EXPECT_EQ(find_fast_loop(TypedOp::Add, Float64), nullptr);
  EXPECT_EQ(find_fast_loop(TypedOp::Exp, Complex128), nullptr);
}

TEST_F(FastMath, TheProgramTakesTheLoopsOfItsMode) {
  const std::vector<TypedInstr> instrs = {{TypedKind::Load, 0, Float64, 0},
                                          {TypedKind::Apply, static_cast<std::uint8_t>(TypedOp::Sin), Float64, 0}};
  const TypedProgram libm = TypedProgram::compile(instrs, {}, 1).value();
  const TypedProgram fast = TypedProgram::compile(instrs, {}, 1, MathMode::Fast).value();
  EXPECT_EQ(libm.steps()[1].loop, find_loop(TypedOp::Sin, Float64));
  EXPECT_EQ(fast.steps()[1].loop, find_fast_loop(TypedOp::Sin, Float64));
  EXPECT_NE(fast.steps()[1].loop, libm.steps()[1].loop);
}

template <class T>
void expect_the_same_bits_at_every_level(TypedOp op) {
  const TypedLoop loop = find_fast_loop(op, std::is_same_v<T, double> ? Float64 : Float32);
  for (const std::size_t n : {1, 7, 15, 37, 259}) {
    std::vector<T> x(n), y(n);
    for (std::size_t k = 0; k < n; ++k) {
      x[k] = static_cast<T>(std::ldexp(1.0 + 0.37 * static_cast<double>(k), static_cast<int>(k % 40) - 20));
      y[k] = static_cast<T>(0.5 + 0.01 * static_cast<double>(k));
    }
    std::vector<T> reference(n), got(n);
    ASSERT_TRUE(force_isa(IsaLevel::Baseline).ok());
    loop(reference.data(), x.data(), y.data(), n);
    for (int level = 1; level <= static_cast<int>(supported_isa()); ++level) {
      ASSERT_TRUE(force_isa(static_cast<IsaLevel>(level)).ok());
      loop(got.data(), x.data(), y.data(), n);
      EXPECT_EQ(std::memcmp(got.data(), reference.data(), n * sizeof(T)), 0) << "level " << level << ", n " << n;
    }
  }
}

TEST_F(FastMath, EveryLevelAndTailGivesTheSameBits) {
  for (const TypedOp op : {TypedOp::Exp, TypedOp::Sin, TypedOp::Log, TypedOp::Sinh, TypedOp::Power, TypedOp::Arctan2}) {
    expect_the_same_bits_at_every_level<double>(op);
    expect_the_same_bits_at_every_level<float>(op);
  }
}

// Where the library's answer is wrong, the answer is the float64 operator's
// own, computed in long double and rounded once (the library's is infinite
// for each of these), and a negative logarithm is x86's NaN.
struct Mended {
  TypedOp op;
  double x;
  double y;
  double expected;
};

class FastMathMends : public FastMath, public ::testing::WithParamInterface<Mended> {};

TEST_P(FastMathMends, GiveTheLongDoubleAnswerRoundedOnce) {
  const Mended& c = GetParam();
  const TypedLoop loop = find_fast_loop(c.op, Float64);
  ASSERT_NE(loop, nullptr);
  double got = 0;
  for (int level = 0; level <= static_cast<int>(supported_isa()); ++level) {
    ASSERT_TRUE(force_isa(static_cast<IsaLevel>(level)).ok());
    ASSERT_TRUE(loop(&got, &c.x, &c.y, 1));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(c.expected)) << "level " << level;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FastMath, FastMathMends,
    ::testing::Values(Mended{TypedOp::Sinh, 710.0, 0, static_cast<double>(std::sinh(710.0L))},
                      Mended{TypedOp::Cosh, -710.0, 0, static_cast<double>(std::cosh(-710.0L))},
                      Mended{TypedOp::Arcsinh, -0x1p600, 0, static_cast<double>(std::asinh(-0x1p600L))},
                      Mended{TypedOp::Arccosh, 0x1p700, 0, static_cast<double>(std::acosh(0x1p700L))},
                      Mended{TypedOp::Log1p, 0x1p1020, 0, static_cast<double>(std::log1p(0x1p1020L))},
                      Mended{TypedOp::Power, 0x1.fffffffffffffp1023, 1.0, 0x1.fffffffffffffp1023},
                      Mended{TypedOp::Log, -1.0, 0, -std::numeric_limits<double>::quiet_NaN()}),
    [](const ::testing::TestParamInfo<Mended>& info) {
      return std::string(typed_info(info.param.op).name) + "_" + std::to_string(info.index);
    });

}  // namespace
}  // namespace bmx

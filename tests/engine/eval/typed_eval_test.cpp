// Typed programs: the type check at compile time, NumPy's integer and
// float16 edge values, inputs read where they lie, and the same bits for
// every thread count.
#include "eval/typed_eval.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "pool/pool.h"

namespace bmx {
namespace {

using enum ElementType;

TypedInstr load(ElementType type, std::uint64_t input) { return {TypedKind::Load, 0, type, input}; }
TypedInstr constant(ElementType type, std::uint64_t index) { return {TypedKind::Constant, 0, type, index}; }
TypedInstr apply(TypedOp op, ElementType type) { return {TypedKind::Apply, static_cast<std::uint8_t>(op), type, 0}; }
TypedInstr cast(ElementType type) { return {TypedKind::Cast, 0, type, 0}; }
TypedInstr repeat(std::uint64_t step) { return {TypedKind::Repeat, 0, ElementType::Bool, step}; }

template <class T>
ElementBytes bytes_of(T value) {
  ElementBytes bytes{};
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

template <class T>
TypedInput contiguous(const std::vector<T>& values, ElementType type) {
  return {reinterpret_cast<const unsigned char*>(values.data()), type, {static_cast<std::ptrdiff_t>(sizeof(T))}};
}

/// The program over one-dimensional inputs of `n` elements.
template <class R>
std::vector<R> run(const TypedProgram& program, const std::vector<TypedInput>& inputs, std::size_t n) {
  std::vector<R> out(n);
  const std::size_t shape[] = {n};
  EXPECT_TRUE(evaluate_typed(program, inputs, shape, out.data()));
  return out;
}

/// The program of `instrs`, which the test knows to fit.
TypedProgram compiled(const std::vector<TypedInstr>& instrs, std::vector<ElementBytes> constants, std::size_t inputs) {
  return TypedProgram::compile(instrs, std::move(constants), inputs).value();
}

/// The words a program that does not fit is refused in; "" for one that fits.
std::string refusal(const std::vector<TypedInstr>& instrs, std::size_t inputs) {
  const Result<TypedProgram> program = TypedProgram::compile(instrs, {bytes_of(std::int64_t{1})}, inputs);
  if (program.ok()) return "";
  EXPECT_EQ(program.error().kind(), ErrorKind::ArgError);
  return program.error().message();
}

TEST(TypedProgramTest, OperandsOfAnotherTypeOrWithoutALoopAreRefusedInWords) {
  EXPECT_EQ(refusal({load(Int64, 0), load(Float64, 1), apply(TypedOp::Add, Int64)}, 2), "add takes int64, not float64");
  EXPECT_EQ(refusal({load(Float64, 0), load(Float64, 1), apply(TypedOp::LeftShift, Float64)}, 2),
            "no loop of left_shift for float64");
  EXPECT_EQ(refusal({load(Int64, 0), load(Int64, 0)}, 1), "the program must leave exactly one value");
  EXPECT_EQ(refusal({load(Int64, 3)}, 1), "input index beyond the inputs");
  EXPECT_EQ(refusal({load(Float64, 0), {TypedKind::Where, 0, Float64, 0}}, 1), "stack empty at where");
  EXPECT_EQ(refusal({load(Int64, 0), repeat(1), apply(TypedOp::Add, Int64)}, 1), "repeat of a step not made yet");
  EXPECT_EQ(refusal({load(Int64, 0), load(Int64, 0), apply(TypedOp::Add, Int64), repeat(0)}, 1),
            "the program must leave exactly one value");
}

// Squaring 40 times over a shared value is 40 steps, not 2**40, with the bits
// of squaring one after another; shared steps are read again across pieces.
TEST(TypedEvalTest, RepeatedStepsAreMadeOnceAndReadAgain) {
  std::vector<TypedInstr> instrs = {load(Float64, 0)};
  for (std::uint64_t step = 0; step < 40; ++step) {
    instrs.push_back(repeat(step));
    instrs.push_back(apply(TypedOp::Multiply, Float64));
  }
  const TypedProgram program = compiled(instrs, {}, 1);
  EXPECT_EQ(program.steps().size(), 41u);
  std::vector<double> values(100000);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = 1.0 + static_cast<double>(k) * 1e-15;
  const std::vector<double> out = run<double>(program, {contiguous(values, Float64)}, values.size());
  for (std::size_t k = 0; k < values.size(); k += 997) {
    double expected = values[k];
    for (int step = 0; step < 40; ++step) expected *= expected;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(out[k]), std::bit_cast<std::uint64_t>(expected)) << k;
  }
}

TEST(TypedEvalTest, IntegerDivisionNeverTrapsAndGivesNumpysValues) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::vector<std::int64_t> left = {kMin, kMin, 7, -7, 7, -7, 5};
  const std::vector<std::int64_t> right = {-1, -1, 2, 2, -2, -2, 0};
  const std::vector<TypedInput> inputs = {contiguous(left, Int64), contiguous(right, Int64)};
  const auto through = [&](TypedOp op) {
    return run<std::int64_t>(compiled({load(Int64, 0), load(Int64, 1), apply(op, Int64)}, {}, 2), inputs, 7);
  };
  EXPECT_EQ(through(TypedOp::FloorDivide), (std::vector<std::int64_t>{kMin, kMin, 3, -4, -4, 3, 0}));
  EXPECT_EQ(through(TypedOp::Remainder), (std::vector<std::int64_t>{0, 0, 1, 1, -1, -1, 0}));
}

TEST(TypedEvalTest, ShiftsByTheWidthOrMoreAndNegativePowersAreNumpys) {
  const std::vector<std::int8_t> values = {1, -8, -8, 3};
  const std::vector<std::int8_t> amounts = {8, 9, -1, 2};
  const std::vector<TypedInput> inputs = {contiguous(values, Int8), contiguous(amounts, Int8)};
  const auto through = [&](TypedOp op) {
    return compiled({load(Int8, 0), load(Int8, 1), apply(op, Int8)}, {}, 2);
  };
  EXPECT_EQ(run<std::int8_t>(through(TypedOp::LeftShift), inputs, 4), (std::vector<std::int8_t>{0, 0, 0, 12}));
  EXPECT_EQ(run<std::int8_t>(through(TypedOp::RightShift), inputs, 4), (std::vector<std::int8_t>{0, -1, -1, 0}));
  std::vector<std::int8_t> out(4);
  const std::size_t shape[] = {4};
  EXPECT_FALSE(evaluate_typed(through(TypedOp::Power), inputs, shape, out.data()));
  EXPECT_EQ(out[3], 9);
}

TEST(TypedEvalTest, Float64ToFloat16RoundsOnceToNearestEven) {
  const std::vector<double> values = {
      1.0 + 0x1p-11,      // a tie: to the even 1.0
      1.0 + 3 * 0x1p-11,  // a tie: to the even above
      65520.0,            // halfway past the largest half: infinity
      0x1p-25,            // half the smallest subnormal: a tie to 0
      3 * 0x1p-26,        // above that tie: the smallest subnormal
      -0.0,
      1.0 + 0x1p-11 + 0x1p-40,  // just above a tie, which going through float32 would lose
  };
  const TypedProgram program = compiled({load(Float64, 0), cast(Float16)}, {}, 1);
  const std::vector<Half> halves = run<Half>(program, {contiguous(values, Float64)}, values.size());
  std::vector<std::uint16_t> bits;
  for (const Half half : halves) bits.push_back(half.bits);
  EXPECT_EQ(bits, (std::vector<std::uint16_t>{0x3c00, 0x3c02, 0x7c00, 0x0000, 0x0001, 0x8000, 0x3c01}));
}

TEST(TypedEvalTest, InputsAreReadWhereTheyLieWithTheSameBitsOnEveryThreadCount) {
  // out[i][j] = x[i] * y[j] + z[i][2j] over (300, 700): x broadcast along
  // rows, y along columns, z strided; long enough for several pool pieces.
  constexpr std::size_t kRows = 300, kColumns = 700;
  std::vector<double> x(kRows), y(kColumns), z(kRows * kColumns * 2);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.1 * static_cast<double>(i) - 7.0;
  for (std::size_t j = 0; j < y.size(); ++j) y[j] = 1.0 / (1.0 + static_cast<double>(j));
  for (std::size_t k = 0; k < z.size(); ++k) z[k] = static_cast<double>(k % 97) * 0.25;
  const auto bytes = [](const std::vector<double>& v) { return reinterpret_cast<const unsigned char*>(v.data()); };
  const std::vector<TypedInput> inputs = {
      {bytes(x), Float64, {8, 0}},
      {bytes(y), Float64, {0, 8}},
      {bytes(z), Float64, {static_cast<std::ptrdiff_t>(16 * kColumns), 16}},
  };
  const TypedProgram program = compiled(
      {load(Float64, 0), load(Float64, 1), apply(TypedOp::Multiply, Float64), load(Float64, 2),
       apply(TypedOp::Add, Float64)},
      {}, 3);
  const std::size_t shape[] = {kRows, kColumns};
  const std::size_t before = WorkPool::set_num_threads(1);
  std::vector<double> one(kRows * kColumns), several(kRows * kColumns);
  ASSERT_TRUE(evaluate_typed(program, inputs, shape, one.data()));
  WorkPool::set_num_threads(4);
  ASSERT_TRUE(evaluate_typed(program, inputs, shape, several.data()));
  WorkPool::set_num_threads(before);
  for (std::size_t i = 0; i < kRows; ++i) {
    for (std::size_t j = 0; j < kColumns; ++j) {
      const double expected = x[i] * y[j] + z[i * kColumns * 2 + 2 * j];
      ASSERT_EQ(std::bit_cast<std::uint64_t>(one[i * kColumns + j]), std::bit_cast<std::uint64_t>(expected));
    }
  }
  EXPECT_EQ(std::memcmp(one.data(), several.data(), one.size() * sizeof(double)), 0);
}

TEST(TypedEvalTest, AConstantIsReadOnceAndAProgramOfOneValueCopiesIt) {
  const TypedProgram program = compiled({constant(Int64, 0)}, {bytes_of(std::int64_t{-3})}, 0);
  EXPECT_EQ(run<std::int64_t>(program, {}, 1000), std::vector<std::int64_t>(1000, -3));
}

}  // namespace
}  // namespace bmx

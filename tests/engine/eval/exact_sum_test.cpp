// Exact sums: known cases bit for bit, rounding once to each format, and the
// same bits for every order, split, state round trip and thread count.
#include "eval/exact_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "eval/exact_reduce.h"
#include "eval_test_support.h"

namespace bmx {
namespace {

using eval_test::bits;
using eval_test::kInf;

constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

double sum_as(std::vector<double> values, SumFormat format = SumFormat::Float64) {
  ExactSum sum;
  sum.add(values);
  return sum.round_as(format);
}

struct Case {
  std::vector<double> values;
  double expected;
};

TEST(ExactSum, KnownSumsBitForBit) {
  const Case cases[] = {
      {{}, 0.0},
      {{1e16, 1.0, -1e16}, 1.0},
      {{1e308, 1e308, -1e308}, 1e308},
      {{1e308, 1e308}, kInf},
      {{-1e308, -1e308, 1e307}, -kInf},
      {{-0.0}, -0.0},
      {{-0.0, -0.0, -0.0}, -0.0},
      {{-0.0, 0.0}, 0.0},
      {{1.0, -1.0}, 0.0},
      {{-1.0, 1.0, -0.0}, 0.0},
      {{kTiny, kTiny}, 2 * kTiny},
      {{kTiny, -kTiny}, 0.0},
      {{std::numeric_limits<double>::min(), -kTiny}, std::nextafter(std::numeric_limits<double>::min(), 0.0)},
      {{0.1, 0.2, 0.3}, 0.6},
      // Ties to even, and a bit far below that breaks a tie.
      {{1.0, 0x1p-53}, 1.0},
      {{1.0, 0x1p-53, 0x1p-1000}, 1.0 + 0x1p-52},
      {{1.0 + 0x1p-52, 0x1p-53}, 1.0 + 0x1p-51},
      {{-1.0, -0x1p-53, -kTiny}, -1.0 - 0x1p-52},
      {{0x1p1023, 0x1p1023, -0x1p1023, -0x1p1023, 0x1p-1074}, kTiny},
      {{std::numeric_limits<double>::max(), 0x1p970}, kInf},
      {{std::numeric_limits<double>::max(), 0x1p969}, std::numeric_limits<double>::max()},
      {{kNan, 1.0}, kNan},
      {{kInf, -kInf}, kNan},
      {{-kInf, 1e308, 1e308}, -kInf},
      {{kInf, -0.0}, kInf},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bits(sum_as(c.values)), bits(c.expected)) << c.values.size() << " values, expected " << c.expected;
  }
}

TEST(ExactSum, RoundsOnceToFloatAndHalf) {
  // Through a double, 1 + 2^-24 + 2^-54 would become 1 + 2^-24, a tie that
  // goes to 1.0; rounded once it is above the tie.
  EXPECT_EQ(sum_as({1.0, 0x1p-24, 0x1p-54}, SumFormat::Float32), 1.0 + 0x1p-23);
  EXPECT_EQ(sum_as({1.0, 0x1p-24}, SumFormat::Float32), 1.0);
  EXPECT_EQ(sum_as({0x1p-150}, SumFormat::Float32), 0.0);
  EXPECT_EQ(bits(sum_as({-0x1p-150}, SumFormat::Float32)), bits(-0.0));
  EXPECT_EQ(sum_as({0x1p-150, 0x1p-1074}, SumFormat::Float32), 0x1p-149);
  EXPECT_EQ(sum_as({0x1.fffffep127, 0x1p103}, SumFormat::Float32), kInf);
  EXPECT_EQ(sum_as({0x1.fffffep127, 0x1p102}, SumFormat::Float32), 0x1.fffffep127);
  EXPECT_EQ(sum_as({1e-300}, SumFormat::Float32), 0.0);
  EXPECT_EQ(sum_as({2048.0, 1.0}, SumFormat::Float16), 2048.0);
  EXPECT_EQ(sum_as({2048.0, 1.0, 0x1p-30}, SumFormat::Float16), 2050.0);
  EXPECT_EQ(sum_as({65504.0, 15.0}, SumFormat::Float16), 65504.0);
  EXPECT_EQ(sum_as({65504.0, 16.0}, SumFormat::Float16), kInf);
  EXPECT_EQ(sum_as({0x1p-25}, SumFormat::Float16), 0.0);
  EXPECT_EQ(sum_as({0x1p-25, 0x1p-26}, SumFormat::Float16), 0x1p-24);
  EXPECT_EQ(sum_as({0x1p-14, -0x1p-24}, SumFormat::Float16), 0x1p-14 - 0x1p-24);
  ExactSum floats;
  const std::vector<float> parts = {1.0f, 0x1p-24f, 0x1p-48f};
  floats.add(parts);
  EXPECT_EQ(floats.round_to_float(), 1.0f + 0x1p-23f);
  EXPECT_EQ(floats.round_to_double(), 1.0 + 0x1p-24 + 0x1p-48);
}

/// Integers below 2^52 times 2^-30, whose exact sum a 128-bit integer holds.
std::vector<double> random_scaled_integers(std::size_t n, std::mt19937_64& rng) {
  std::uniform_int_distribution<std::int64_t> draw(-(std::int64_t{1} << 52), std::int64_t{1} << 52);
  std::vector<double> values(n);
  for (double& value : values) value = std::ldexp(static_cast<double>(draw(rng)), -30);
  return values;
}

TEST(ExactSum, ManyAdditionsCarryExactly) {
  std::mt19937_64 rng(7);
  for (const std::size_t n : {1u, 2046u, 2047u, 2048u, 10000u}) {
    const std::vector<double> values = random_scaled_integers(n, rng);
    __extension__ __int128 total = 0;
    for (const double value : values) total += static_cast<std::int64_t>(std::ldexp(value, 30));
    // The conversion of a 128-bit integer rounds to nearest, and the scaling is exact.
    EXPECT_EQ(bits(sum_as(values)), bits(std::ldexp(static_cast<double>(total), -30))) << n;
  }
  // The most a value adds to one chunk, (2^53 - 1) * 2^31 of its lowest
  // weight, as often as a chunk takes between carries, about the lanes' ends.
  const double heaviest = -std::ldexp(static_cast<double>((std::int64_t{1} << 53) - 1), -52 + 1);
  for (const std::size_t n : {255u, 256u, 8187u, 8188u, 8189u, 24569u}) {
    const std::vector<double> values(n, heaviest);
    __extension__ const __int128 total = static_cast<__int128>(n) * ((std::int64_t{1} << 53) - 1);
    EXPECT_EQ(bits(sum_as(values)), bits(-std::ldexp(static_cast<double>(total), -51))) << n;
  }
  // Ten thousand of the largest finite values and as many of their negatives,
  // with no overflow on the way.
  std::vector<double> huge(10000, std::numeric_limits<double>::max());
  huge.resize(20000, -std::numeric_limits<double>::max());
  huge.push_back(0.5);
  EXPECT_EQ(sum_as(huge), 0.5);
}

TEST(ExactSum, OrderSplitsMergesAndStatesGiveTheSameBits) {
  std::mt19937_64 rng(11);
  std::vector<double> values(9000);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-1074, 1000);
  for (double& value : values) value = std::ldexp(mantissa(rng), exponent(rng));
  const double whole = sum_as(values);
  std::vector<double> shuffled = values;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  EXPECT_EQ(bits(sum_as(shuffled)), bits(whole));
  for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2047}, std::size_t{5000}}) {
    ExactSum left;
    ExactSum right;
    left.add(std::span<const double>(values).first(cut));
    right.add(std::span<const double>(values).subspan(cut));
    const ExactSum restored(right.state());
    left.merge(restored);
    EXPECT_EQ(bits(left.round_to_double()), bits(whole)) << cut;
    EXPECT_EQ(left.count(), values.size());
  }
  const ExactSum negative_zero = [] {
    ExactSum sum;
    sum.add(-0.0);
    return ExactSum(sum.state());
  }();
  EXPECT_EQ(bits(negative_zero.round_to_double()), bits(-0.0));
}

TEST(ExactSum, EveryThreadCountGivesTheSameBits) {
  std::mt19937_64 rng(3);
  std::vector<double> values(300001);
  std::lognormal_distribution<double> spread(0.0, 20.0);
  for (double& value : values) value = (rng() & 1) != 0 ? spread(rng) : -spread(rng);
  values[1234] = 1e300;
  values[200000] = -1e300;
  ExactSum sequential;
  sequential.add(values);
  std::vector<double> rows(3);
  for (const std::size_t threads : {1u, 2u, 3u, 8u}) {
    const eval_test::ThreadSetting setting(threads);
    ExactSum pooled;
    add_on_pool(pooled, values);
    EXPECT_EQ(bits(pooled.round_to_double()), bits(sequential.round_to_double())) << threads;
    EXPECT_EQ(pooled.count(), values.size());
    std::vector<double> one(1);
    exact_sum_rows(values, one, SumFormat::Float32);
    EXPECT_EQ(bits(one[0]), bits(sequential.round_as(SumFormat::Float32))) << threads;
    exact_sum_rows(std::span<const double>(values).first(300000), rows, SumFormat::Float64);
    for (std::size_t row = 0; row < rows.size(); ++row) {
      ExactSum alone;
      alone.add(std::span<const double>(values).subspan(row * 100000, 100000));
      EXPECT_EQ(bits(rows[row]), bits(alone.round_to_double())) << threads << " threads, row " << row;
    }
  }
}

TEST(ExactSum, ColumnsAreTheSumsOfTheirValues) {
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> exponent(-1074, 1023);
  for (const std::size_t columns : {1u, 3u, 64u, 65u, 200u}) {
    for (const std::size_t rows : {1u, 2u, 2047u, 2049u}) {
      std::vector<double> values(rows * columns);
      for (double& value : values) value = std::ldexp((rng() & 1) != 0 ? 1.5 : -1.25, exponent(rng));
      // Columns of -0.0 alone, of both zeros, and of a NaN and infinities.
      for (std::size_t row = 0; row < rows; ++row) {
        values[row * columns] = -0.0;
        if (columns > 2) values[row * columns + 1] = row == 0 ? 0.0 : -0.0;
        if (columns > 2 && row == rows - 1) values[row * columns + 2] = row % 2 == 0 ? kInf : kNan;
      }
      std::vector<double> transposed(values.size());
      for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t column = 0; column < columns; ++column) transposed[column * rows + row] = values[row * columns + column];
      }
      std::vector<double> by_rows(columns);
      exact_sum_rows(transposed, by_rows, SumFormat::Float64);
      for (const std::size_t threads : {1u, 3u}) {
        const eval_test::ThreadSetting setting(threads);
        std::vector<double> by_columns(columns);
        exact_sum_columns(values, by_columns, SumFormat::Float64);
        for (std::size_t column = 0; column < columns; ++column) {
          EXPECT_EQ(bits(by_columns[column]), bits(by_rows[column])) << rows << " rows, column " << column;
        }
      }
      EXPECT_EQ(bits(by_rows[0]), bits(-0.0));
    }
  }
}

}  // namespace
}  // namespace bmx

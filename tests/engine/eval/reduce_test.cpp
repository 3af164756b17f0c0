// Reductions: the sequential results, bit for bit, and the empty-buffer error.
#include "eval/reduce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <span>

#include "eval_test_support.h"

namespace bmx {
namespace {

using eval_test::bits;
using eval_test::kInf;


double reduce(ReduceOp op, F64Vec values) {
  const Result<double> result = execute_reduce(Buffer::from_f64_vec(std::move(values)), op);
  EXPECT_TRUE(result.ok());
  return result.ok() ? result.value() : 0.0;
}

TEST(Reduce, SumIsTheLeftToRightSum) {
  EXPECT_EQ(bits(reduce(ReduceOp::Sum, {1e16, 1.0, -1e16})), bits(0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Sum, {1.0, 1e16, -1e16})), bits(0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Sum, {1e16, -1e16, 1.0})), bits(1.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Sum, {-0.0, -0.0, -0.0})), bits(-0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Sum, {-0.0})), bits(-0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Sum, {0.1, 0.2, 0.3})), bits((-0.0 + 0.1 + 0.2) + 0.3));
}

TEST(Reduce, ProdIsTheLeftToRightProductFromOne) {
  EXPECT_EQ(bits(reduce(ReduceOp::Prod, {1e200, 1e200, 1e-200})), bits(kInf));
  EXPECT_EQ(bits(reduce(ReduceOp::Prod, {1e200, 1e-200, 1e200})), bits((1e200 * 1e-200) * 1e200));
  EXPECT_EQ(bits(reduce(ReduceOp::Prod, {0.1, 0.2, 0.3})), bits((0.1 * 0.2) * 0.3));
  EXPECT_EQ(bits(reduce(ReduceOp::Prod, {-0.0})), bits(-0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Prod, {-2.0, -0.0})), bits(0.0));
  EXPECT_TRUE(std::isnan(reduce(ReduceOp::Prod, {kInf, 0.0})));
}

TEST(Reduce, MeanVarianceStdAndCount) {
  EXPECT_EQ(reduce(ReduceOp::Mean, {1.0, 2.0, 3.0, 4.0}), 2.5);
  EXPECT_EQ(reduce(ReduceOp::Variance, {1.0, 2.0, 3.0, 4.0}), 1.25);
  EXPECT_EQ(bits(reduce(ReduceOp::Std, {1.0, 2.0, 3.0, 4.0})), bits(std::sqrt(1.25)));
  EXPECT_EQ(reduce(ReduceOp::Count, {1.0, 2.0, 3.0, 4.0}), 4.0);
  EXPECT_EQ(bits(reduce(ReduceOp::Variance, {-0.0})), bits(0.0));
  EXPECT_TRUE(std::isnan(reduce(ReduceOp::Mean, {kInf, -kInf})));
}

TEST(Reduce, MinAndMax) {
  EXPECT_TRUE(std::isnan(reduce(ReduceOp::Min, {3.0, NAN, 1.0})));
  EXPECT_TRUE(std::isnan(reduce(ReduceOp::Max, {3.0, 1.0, NAN})));
  EXPECT_EQ(reduce(ReduceOp::Min, {2.0}), 2.0);
  EXPECT_EQ(reduce(ReduceOp::Max, {-kInf}), -kInf);
  EXPECT_EQ(reduce(ReduceOp::Min, {kInf}), kInf);
  EXPECT_EQ(bits(reduce(ReduceOp::Min, {-0.0, 0.0})), bits(-0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Min, {0.0, -0.0})), bits(0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Max, {0.0, -0.0})), bits(0.0));
  EXPECT_EQ(bits(reduce(ReduceOp::Max, {-0.0, 0.0})), bits(-0.0));
}

// The sequential rule, written out: the first NaN wins, else strict comparison.
double sequential_extreme(const F64Vec& values, bool max) {
  double running = max ? -kInf : kInf;
  for (const double x : values) {
    if (std::isnan(x)) return x;
    if (max ? x > running : x < running) running = x;
  }
  return running;
}

F64Vec extreme_test_values(std::mt19937_64& rng, std::size_t n, int mode) {
  F64Vec values(n);
  for (double& value : values) {
    switch (mode) {
      case 0: value = static_cast<double>(static_cast<int>(rng() % 7) - 3); break;
      case 1: value = eval_test::special_value(rng); break;
      case 2: value = (rng() & 1) != 0 ? 0.0 : -0.0; break;
      default: value = std::uniform_real_distribution<double>(-1.0, 1.0)(rng); break;
    }
    if (mode == 0 && value == 0.0 && (rng() & 1) != 0) value = -0.0;
  }
  if (mode == 3 && n > 0) values[rng() % n] = std::bit_cast<double>(0x7ff8000000000000ull | rng() % 1000);
  return values;
}

TEST(Reduce, MinAndMaxFollowTheSequentialRuleBitwise) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = 1 + (round % 4 == 0 ? rng() % 5000 : rng() % 40);
    const int mode = round % 4;
    const F64Vec values = extreme_test_values(rng, n, mode);
    SCOPED_TRACE("round " + std::to_string(round) + ", n " + std::to_string(n));
    EXPECT_EQ(bits(reduce(ReduceOp::Min, values)), bits(sequential_extreme(values, false)));
    EXPECT_EQ(bits(reduce(ReduceOp::Max, values)), bits(sequential_extreme(values, true)));
  }
}

// Large enough for the pool: pieces of 2^15 elements, their borders at
// multiples of it.
constexpr std::size_t kPiece = std::size_t{1} << 15;
constexpr std::size_t kLarge = 9 * kPiece + 123;

double nan_with_payload(std::uint64_t payload) { return std::bit_cast<double>(0x7ff8000000000000ull | payload); }

/// Min and Max of `values` for thread counts 1 and all, each compared
/// bitwise with the sequential rule.
void expect_extremes_for_every_thread_count(const F64Vec& values) {
  const BufferRef buffer = Buffer::from_f64_vec(values);
  const double min = sequential_extreme(values, false);
  const double max = sequential_extreme(values, true);
  // At least two, so that the pool takes part even on one allowed CPU.
  for (const std::size_t threads : {std::size_t{1}, std::max<std::size_t>(2, WorkPool::num_threads())}) {
    const eval_test::ThreadSetting setting(threads);
    EXPECT_EQ(bits(execute_reduce(buffer, ReduceOp::Min).value()), bits(min)) << threads << " threads";
    EXPECT_EQ(bits(execute_reduce(buffer, ReduceOp::Max).value()), bits(max)) << threads << " threads";
  }
}

TEST(ParallelExtremes, RandomDataGivesTheSequentialBits) {
  std::mt19937_64 rng(99);
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    expect_extremes_for_every_thread_count(extreme_test_values(rng, kLarge, mode));
  }
}

// The first zero decides between -0.0 and 0.0, wherever the piece borders fall.
TEST(ParallelExtremes, TheFirstZeroWinsAcrossPieces) {
  for (const std::size_t first : {std::size_t{0}, 3 * kPiece - 1, 3 * kPiece, kLarge - 1}) {
    for (const double zero : {-0.0, 0.0}) {
      F64Vec values(kLarge, 2.0);
      values[first] = zero;
      for (std::size_t i = first + 1; i < kLarge; i += kPiece / 3) values[i] = -zero;
      SCOPED_TRACE("first zero at " + std::to_string(first));
      expect_extremes_for_every_thread_count(values);
      for (double& value : values) value = -value;
      expect_extremes_for_every_thread_count(values);
    }
  }
}

// The first NaN in index order is the result, with its payload.
TEST(ParallelExtremes, TheFirstNanWinsAcrossPieces) {
  for (const std::size_t first : {std::size_t{0}, 2 * kPiece - 1, 2 * kPiece, kLarge - 1}) {
    std::mt19937_64 rng(first);
    F64Vec values = extreme_test_values(rng, kLarge, 0);
    values[first] = nan_with_payload(first + 1);
    for (std::size_t i = first + 1; i < kLarge; i += kPiece - 1) values[i] = nan_with_payload(i + 1);
    SCOPED_TRACE("first NaN at " + std::to_string(first));
    expect_extremes_for_every_thread_count(values);
  }
}

TEST(Reduce, ZeroTiesAcrossLanesKeepTheFirstZero) {
  for (const std::size_t first : {std::size_t{0}, std::size_t{5}, std::size_t{1500}, std::size_t{2047}}) {
    F64Vec values(2048, 1.0);
    values[first] = -0.0;
    for (std::size_t i = first + 1; i < values.size(); i += 3) values[i] = 0.0;
    EXPECT_EQ(bits(reduce(ReduceOp::Min, values)), bits(-0.0)) << first;
    for (double& value : values) value = value == 0.0 ? (bits(value) == bits(-0.0) ? 0.0 : -0.0) : -1.0;
    EXPECT_EQ(bits(reduce(ReduceOp::Max, values)), bits(0.0)) << first;
  }
}

TEST(Reduce, CountsAllElementsOfAnyShape) {
  const BufferRef matrix = Buffer::with_layout({2, 3}, DType::F64, F64Vec{1, 2, 3, 4, 5, 6});
  EXPECT_EQ(execute_reduce(matrix, ReduceOp::Sum).value(), 21.0);
  EXPECT_EQ(execute_reduce(matrix, ReduceOp::Count).value(), 6.0);
}

class EmptyReduce : public ::testing::TestWithParam<ReduceOp> {};

TEST_P(EmptyReduce, IsAnEmptyCollectionError) {
  const Result<double> result = execute_reduce(Buffer::from_f64_vec(F64Vec{}), GetParam());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(),
            ComputeError::empty_collection(std::string("cannot ") + reduce_op_name(GetParam()) + " empty buffer"));
  EXPECT_EQ(reduce_values({}, GetParam()).error(), result.error());
}

INSTANTIATE_TEST_SUITE_P(AllOps, EmptyReduce,
                         ::testing::Values(ReduceOp::Sum, ReduceOp::Mean, ReduceOp::Min, ReduceOp::Max,
                                           ReduceOp::Count, ReduceOp::Variance, ReduceOp::Std, ReduceOp::Prod));

TEST(Reduce, Names) {
  EXPECT_STREQ(reduce_op_name(ReduceOp::Sum), "Sum");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Mean), "Mean");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Min), "Min");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Max), "Max");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Count), "Count");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Variance), "Variance");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Std), "Std");
  EXPECT_STREQ(reduce_op_name(ReduceOp::Prod), "Prod");
  const Result<double> empty_mean = execute_reduce(Buffer::from_f64_vec(F64Vec{}), ReduceOp::Mean);
  EXPECT_EQ(empty_mean.error().message(), "cannot Mean empty buffer");
}

// Borrowed memory reduces to the bits of the buffer's reduction.
TEST(Reduce, BorrowedValuesGiveTheBufferResult) {
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    std::mt19937_64 rng(77 + seed);
    const BufferRef buffer = Buffer::from_f64_vec(eval_test::random_values(rng, 1 + rng() % 5000));
    for (const ReduceOp op : {ReduceOp::Sum, ReduceOp::Mean, ReduceOp::Min, ReduceOp::Max, ReduceOp::Count,
                              ReduceOp::Variance, ReduceOp::Std, ReduceOp::Prod}) {
      EXPECT_EQ(bits(reduce_values(buffer->as_f64_slice(), op).value()), bits(execute_reduce(buffer, op).value()))
          << reduce_op_name(op) << ", seed " << seed;
    }
  }
}

// Values whose left-to-right sum depends on the order and the start value.
std::vector<F64Vec> sum_cases() {
  std::mt19937_64 rng(31);
  F64Vec cancelling;
  for (int k = 0; k < 300; ++k) cancelling.insert(cancelling.end(), {1e16, 1.0, -1e16, 0.5, -0.0});
  return {cancelling,
          F64Vec(700, -0.0),
          {-0.0},
          {0.0, -0.0},
          {1.0, NAN, 2.0},
          {kInf, 1.0, -kInf, 3.0},
          {1e308, 1e308, -1e308},
          eval_test::random_values(rng, 4096)};
}

// Chunk boundaries from the seed, empty chunks included.
std::vector<std::size_t> chunk_sizes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::size_t> sizes;
  for (std::size_t left = n; left > 0;) {
    const std::size_t size = rng() % 4 == 0 ? 0 : std::min<std::size_t>(left, 1 + rng() % (seed % 3 == 0 ? 3 : 700));
    sizes.push_back(size);
    left -= size;
  }
  sizes.push_back(0);
  return sizes;
}

TEST(SumChain, ChunksChainToTheWholeSumAndMean) {
  for (const F64Vec& values : sum_cases()) {
    const BufferRef whole = Buffer::from_f64_vec(values);
    const double sum = execute_reduce(whole, ReduceOp::Sum).value();
    const double mean = execute_reduce(whole, ReduceOp::Mean).value();
    for (std::uint64_t seed = 0; seed < 9; ++seed) {
      SumCarry carry;
      std::size_t begin = 0;
      for (const std::size_t size : chunk_sizes(values.size(), seed)) {
        carry = continue_sum(carry, std::span<const double>(values).subspan(begin, size));
        begin += size;
      }
      ASSERT_EQ(carry.count, values.size());
      EXPECT_EQ(bits(finish_sum(carry).value()), bits(sum)) << "seed " << seed << ", first " << values[0];
      EXPECT_EQ(bits(finish_mean(carry).value()), bits(mean)) << "seed " << seed << ", first " << values[0];
    }
  }
}

TEST(SumChain, StartsLikeSumAndFailsLikeItWhenEmpty) {
  EXPECT_EQ(bits(SumCarry{}.total), bits(-0.0));
  const SumCarry nothing = continue_sum(continue_sum(SumCarry{}, {}), {});
  EXPECT_EQ(nothing.count, 0u);
  EXPECT_EQ(finish_sum(nothing).error(), ComputeError::empty_collection("cannot Sum empty buffer"));
  EXPECT_EQ(finish_mean(nothing).error(), ComputeError::empty_collection("cannot Mean empty buffer"));
  const SumCarry carried = continue_sum(SumCarry{0.5, 2}, F64Vec{1.0});
  EXPECT_EQ(carried.total, 1.5);
  EXPECT_EQ(carried.count, 3u);
  EXPECT_EQ(finish_mean(carried).value(), 0.5);
}

// Each row reduces to the bits of reduce_values over that row alone, on the
// pool or not, and rows of no element are the empty error with out untouched.
TEST(ReduceRows, EachRowHasTheBitsOfItsOwnReduction) {
  std::mt19937_64 rng(5);
  for (const std::size_t row_length : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
    // 243 rows: runs of four rows and the rows left after them.
    const F64Vec values = eval_test::random_values(rng, 243 * row_length);
    const std::span<const double> all(values);
    for (const std::size_t threads : {std::size_t{1}, std::max<std::size_t>(2, WorkPool::num_threads())}) {
      const eval_test::ThreadSetting setting(threads);
      for (const ReduceOp op : {ReduceOp::Sum, ReduceOp::Mean, ReduceOp::Min, ReduceOp::Max, ReduceOp::Prod,
                                ReduceOp::Std}) {
        F64Vec out(values.size() / row_length);
        ASSERT_TRUE(reduce_rows(all, out, op).ok());
        for (std::size_t row = 0; row < out.size(); ++row) {
          EXPECT_EQ(bits(out[row]), bits(reduce_values(all.subspan(row * row_length, row_length), op).value()))
              << reduce_op_name(op) << ", row " << row << ", " << threads << " threads";
        }
      }
    }
  }
  F64Vec out{7.0, 7.0};
  EXPECT_EQ(reduce_rows({}, out, ReduceOp::Max).error(), ComputeError::empty_collection("cannot Max empty buffer"));
  EXPECT_EQ(out, (F64Vec{7.0, 7.0}));
  EXPECT_TRUE(reduce_rows({}, {}, ReduceOp::Sum).ok());
}

TEST(Reduce, NonF64BuffersAreInternalFailures) {
  const BufferRef ints = Buffer::with_layout({1}, DType::I32, F64Vec{1.0});
  EXPECT_THROW((void)execute_reduce(ints, ReduceOp::Sum), InternalFailure);
}

}  // namespace
}  // namespace bmx

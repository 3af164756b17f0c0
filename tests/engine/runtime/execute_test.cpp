// The map and reduce bodies: binding checks in order, the cache, the result.
#include "runtime/execute.h"

#include <gtest/gtest.h>

#include "ir/kernel_key.h"

#include <vector>

namespace bmx {
namespace {

// x * 2 + y with x in slot 0 and y in slot 1.
KernelSpec x_times_2_plus_y(std::vector<std::string> names = {"x", "y"}) {
  return {std::move(names),
          ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, ExprTree::arg_ref(0), ExprTree::constant(2.0)),
                           ExprTree::arg_ref(1))};
}

BufferRef buffer(F64Vec values) { return Buffer::from_f64_vec(std::move(values)); }

// A private cache that counts how often it is consulted.
class ExecuteMap : public ::testing::Test {
 protected:
  Result<BufferRef> run(const KernelSpec& kernel, std::unordered_map<std::string, ArgSlot> bindings) {
    return execute_map(MapContent{kernel, std::move(bindings)}, cache_);
  }

  int lookups_ = 0;
  KernelCache cache_{[this](const KernelKey& key) {
    ++lookups_;
    return fingerprint(key);
  }};
};

TEST_F(ExecuteMap, ComputesTheKernel) {
  const Result<BufferRef> result = run(x_times_2_plus_y(), {{"x", buffer({1.0, 2.0, 3.0})}, {"y", 0.5}});
  ASSERT_TRUE(result.ok());
  const BufferRef& out = result.value();
  EXPECT_EQ(out->dtype(), DType::F64);
  EXPECT_EQ(std::vector<std::uint64_t>(out->shape().begin(), out->shape().end()), std::vector<std::uint64_t>{3});
  const auto values = out->as_f64_slice();
  EXPECT_EQ(std::vector<double>(values.begin(), values.end()), (std::vector<double>{2.5, 4.5, 6.5}));
  EXPECT_EQ(lookups_, 1);
}

TEST_F(ExecuteMap, MissingArguments) {
  const Result<BufferRef> one = run(x_times_2_plus_y(), {{"x", buffer({1.0})}});
  EXPECT_EQ(one.error(), ComputeError::arg("missing arg: y"));
  // Sorted by name, not by slot.
  const Result<BufferRef> two = run(x_times_2_plus_y({"y", "x"}), {});
  EXPECT_EQ(two.error(), ComputeError::arg("missing args: x, y"));
  const Result<BufferRef> bytewise = run(x_times_2_plus_y({"b", "B"}), {});
  EXPECT_EQ(bytewise.error(), ComputeError::arg("missing args: B, b"));
  EXPECT_EQ(lookups_, 0);
}

TEST_F(ExecuteMap, UnexpectedArguments) {
  const Result<BufferRef> extra =
      run(x_times_2_plus_y(), {{"x", buffer({1.0})}, {"zeta", 1.0}, {"y", 2.0}, {"alpha", buffer({})}});
  EXPECT_EQ(extra.error(), ComputeError::arg("unexpected args: alpha, zeta"));
  // Missing names are reported first, and alone.
  const Result<BufferRef> both = run(x_times_2_plus_y(), {{"x", buffer({1.0})}, {"z", 1.0}});
  EXPECT_EQ(both.error(), ComputeError::arg("missing arg: y"));
  EXPECT_EQ(lookups_, 0);
}

// The kernel is compiled and cached before the lengths are checked.
TEST_F(ExecuteMap, LengthErrorsComeAfterTheCacheLookup) {
  const Result<BufferRef> scalars = run(x_times_2_plus_y(), {{"x", 1.0}, {"y", 2.0}});
  EXPECT_EQ(scalars.error(), ComputeError::arg("no buffer arguments provided"));
  EXPECT_EQ(lookups_, 1);
  const Result<BufferRef> mismatch = run(x_times_2_plus_y(), {{"x", buffer({1, 2, 3})}, {"y", buffer({1, 2, 3, 4})}});
  EXPECT_EQ(mismatch.error(), ComputeError::shape("buffer length mismatch: 3 vs 4"));
  EXPECT_EQ(lookups_, 2);
  const Result<BufferRef> swapped = run(x_times_2_plus_y(), {{"y", buffer({1, 2, 3})}, {"x", buffer({1, 2, 3, 4})}});
  EXPECT_EQ(swapped.error(), ComputeError::shape("buffer length mismatch: 4 vs 3"));
}

TEST_F(ExecuteMap, EmptyBuffersGiveAnEmptyResult) {
  const Result<BufferRef> result = run(x_times_2_plus_y(), {{"x", buffer({})}, {"y", buffer({})}});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value()->dtype(), DType::F64);
  EXPECT_EQ(std::vector<std::uint64_t>(result.value()->shape().begin(), result.value()->shape().end()),
            std::vector<std::uint64_t>{0});
  EXPECT_EQ(lookups_, 1);
}

TEST_F(ExecuteMap, ResultIsOneDimensionalAndInputsAreShared) {
  const BufferRef matrix = Buffer::with_layout({2, 2}, DType::F64, F64Vec{1, 2, 3, 4});
  const Result<BufferRef> result = run(x_times_2_plus_y(), {{"x", matrix}, {"y", 0.0}});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(std::vector<std::uint64_t>(result.value()->shape().begin(), result.value()->shape().end()),
            std::vector<std::uint64_t>{4});
  // The body's own references to the inputs are gone once it returns.
  EXPECT_EQ(matrix.use_count(), 1);
}

TEST(ExecuteMapGlobal, UsesTheProcessWideCache) {
  const Result<BufferRef> result =
      execute_map(MapContent{x_times_2_plus_y(), {{"x", Buffer::from_f64_vec(F64Vec(5000, 1.0))}, {"y", -1.0}}});
  ASSERT_TRUE(result.ok());
  const auto values = result.value()->as_f64_slice();
  ASSERT_EQ(values.size(), 5000u);
  for (const double value : values) ASSERT_EQ(value, 1.0);
}

TEST(ExecuteReduce, RunsTheReduction) {
  const Result<double> sum = execute_reduce(ReduceContent{Buffer::from_f64_vec(F64Vec{1.0, 2.0}), ReduceOp::Sum});
  EXPECT_EQ(sum.value(), 3.0);
  const Result<double> empty = execute_reduce(ReduceContent{Buffer::from_f64_vec(F64Vec{}), ReduceOp::Max});
  EXPECT_EQ(empty.error(), ComputeError::empty_collection("cannot Max empty buffer"));
}

}  // namespace
}  // namespace bmx

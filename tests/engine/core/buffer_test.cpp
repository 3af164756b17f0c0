// Buffer construction, element counts and the F64 view.
#include "buffer/buffer.h"

#include <gtest/gtest.h>

#include "internal_failure.h"

namespace bmx {
namespace {

TEST(BufferTest, EmptyVectorGivesShapeZero) {
  const BufferRef buffer = Buffer::from_f64_vec({});
  ASSERT_EQ(buffer->shape().size(), 1u);
  EXPECT_EQ(buffer->shape()[0], 0u);
  EXPECT_EQ(buffer->element_count(), 0u);
  EXPECT_TRUE(buffer->as_f64_slice().empty());
}

TEST(BufferTest, TakesTheStorageWithoutCopying) {
  F64Vec values{1.5, 2.5};
  const double* storage = values.data();
  const BufferRef buffer = Buffer::from_f64_vec(std::move(values));
  EXPECT_EQ(buffer->as_f64_slice().data(), storage);
  EXPECT_EQ(buffer->dtype(), DType::F64);
  EXPECT_EQ(buffer->element_count(), 2u);
}

TEST(BufferTest, EmptyShapeCountsOne) {
  EXPECT_EQ(Buffer::with_layout({}, DType::F64, F64Vec{4.0})->element_count(), 1u);
  EXPECT_EQ(Buffer::with_layout({2, 3}, DType::F64, F64Vec(6))->element_count(), 6u);
}

TEST(BufferTest, NonF64ViewIsAnInternalFailure) {
  const BufferRef buffer = Buffer::with_layout({1}, DType::I32, F64Vec(1));
  try {
    (void)buffer->as_f64_slice();
    FAIL() << "expected an internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_NE(failure.message().find("as_f64_slice requires F64 dtype"), std::string::npos);
    EXPECT_NE(failure.message().find("I32"), std::string::npos);
  }
}

TEST(DTypeTest, Names) {
  EXPECT_STREQ(dtype_name(DType::F32), "float32");
  EXPECT_STREQ(dtype_name(DType::F64), "float64");
  EXPECT_STREQ(dtype_name(DType::I32), "int32");
  EXPECT_STREQ(dtype_name(DType::I64), "int64");
  EXPECT_STREQ(dtype_name(DType::Bool), "bool");
}

}  // namespace
}  // namespace bmx

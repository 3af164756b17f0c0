// Display and debug texts of errors, and Result's contract.
#include "compute_error.h"

#include <gtest/gtest.h>

#include "result.h"

namespace bmx {
namespace {

TEST(ComputeErrorTest, DisplayTextPrefixesTheKind) {
  EXPECT_EQ(display_text(ComputeError::type_error("t")), "TypeError: t");
  EXPECT_EQ(display_text(ComputeError::shape("abc")), "ShapeError: abc");
  EXPECT_EQ(display_text(ComputeError::arg("a")), "ArgError: a");
  EXPECT_EQ(display_text(ComputeError::empty_collection("e")), "EmptyCollection: e");
  EXPECT_EQ(display_text(ComputeError::cancelled()), "Cancelled");
  EXPECT_EQ(display_text(ComputeError::channel_closed()), "ChannelClosed");
  EXPECT_EQ(display_text(ComputeError::internal("i")), "Internal: i");
  EXPECT_EQ(display_text(ComputeError::shape("")), "ShapeError: ");
}

TEST(ComputeErrorTest, DebugTextEscapesTheMessage) {
  EXPECT_EQ(debug_text(ComputeError::shape("abc")), "ShapeError(\"abc\")");
  EXPECT_EQ(debug_text(ComputeError::arg("missing arg: y")), "ArgError(\"missing arg: y\")");
  EXPECT_EQ(debug_text(ComputeError::internal("a\"b\\c\nd\te\x01")), "Internal(\"a\\\"b\\\\c\\nd\\te\\u{1}\")");
  EXPECT_EQ(debug_text(ComputeError::cancelled()), "Cancelled");
  EXPECT_EQ(debug_text(ComputeError::channel_closed()), "ChannelClosed");
}

TEST(ComputeErrorTest, KindNumbersArePartOfTheData) {
  EXPECT_EQ(static_cast<int>(ErrorKind::TypeError), 0);
  EXPECT_EQ(static_cast<int>(ErrorKind::ChannelClosed), 5);
  EXPECT_EQ(static_cast<int>(ErrorKind::Internal), 6);
}

TEST(ResultTest, ReadingTheWrongSideIsAnInternalFailure) {
  const Result<int> good = 3;
  const Result<int> bad = ComputeError::arg("x");
  EXPECT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 3);
  EXPECT_EQ(bad.error(), ComputeError::arg("x"));
  EXPECT_THROW((void)bad.value(), InternalFailure);
  EXPECT_THROW((void)good.error(), InternalFailure);
  const Result<void> done;
  EXPECT_TRUE(done.ok());
  EXPECT_THROW((void)done.error(), InternalFailure);
}

}  // namespace
}  // namespace bmx

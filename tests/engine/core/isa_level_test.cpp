#include "isa/isa_level.h"

#include <gtest/gtest.h>

#include <string>

namespace bmx {
namespace {

TEST(IsaLevel, ForcingKeepsWithinWhatTheProcessorSupportsAndRestores) {
  const IsaLevel best = supported_isa();
  EXPECT_EQ(active_isa(), best);
  EXPECT_EQ(force_isa(IsaLevel::Baseline).value(), best);
  EXPECT_EQ(active_isa(), IsaLevel::Baseline);
  EXPECT_EQ(force_isa(best).value(), IsaLevel::Baseline);
  EXPECT_EQ(isa_name(IsaLevel::Avx2), "avx2");
}

// A level beyond the processor's is refused in the words Python shows, and
// the active level stays; so is a number that names no level.
TEST(IsaLevel, ALevelAboveTheProcessorsIsRefusedAndTheActiveOneKept) {
  const IsaLevel best = supported_isa();
  for (const int number : {-1, 1, 2, 3}) {
    const auto level = static_cast<IsaLevel>(number);
    if (number >= 0 && level <= best) continue;
    const Result<IsaLevel> forced = force_isa(level);
    ASSERT_FALSE(forced.ok()) << number;
    EXPECT_EQ(forced.error(), ComputeError::arg("this processor does not support the instruction level '" +
                                                std::string(isa_name(level)) + "'"));
    EXPECT_EQ(active_isa(), best);
  }
  EXPECT_EQ(force_isa(IsaLevel::Avx512).ok(), best == IsaLevel::Avx512);
  EXPECT_TRUE(force_isa(best).ok());
}

}  // namespace
}  // namespace bmx

#include "isa/isa_level.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace bmx {
namespace {

TEST(IsaLevel, ForcingKeepsWithinWhatTheProcessorSupportsAndRestores) {
  const IsaLevel best = supported_isa();
  EXPECT_EQ(active_isa(), best);
  EXPECT_EQ(force_isa(IsaLevel::Baseline), best);
  EXPECT_EQ(active_isa(), IsaLevel::Baseline);
  EXPECT_EQ(force_isa(best), IsaLevel::Baseline);
  if (best != IsaLevel::Avx512) {
    EXPECT_THROW(force_isa(IsaLevel::Avx512), std::invalid_argument);
    EXPECT_EQ(active_isa(), best);
  }
  EXPECT_EQ(isa_name(IsaLevel::Avx2), "avx2");
}

}  // namespace
}  // namespace bmx

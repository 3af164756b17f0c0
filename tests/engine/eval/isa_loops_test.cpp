#include "eval/isa_loops.h"

#include <gtest/gtest.h>

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

  force_isa(IsaLevel::Baseline);
  EXPECT_EQ(&active_loops(), baseline);
  force_isa(best);
  EXPECT_EQ(&active_loops(), &isa_loops(best));
}

}  // namespace
}  // namespace bmx

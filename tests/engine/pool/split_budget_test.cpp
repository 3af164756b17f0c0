// The halving split budget and its reset when a piece migrates.
#include "pool/split_budget.h"

#include <gtest/gtest.h>

namespace bmx {
namespace {

TEST(SplitBudgetTest, HalvesUntilExhausted) {
  SplitBudget budget(8);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_EQ(budget.splits(), 4u);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_EQ(budget.splits(), 1u);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_EQ(budget.splits(), 0u);
  EXPECT_FALSE(budget.try_split(false));
  EXPECT_EQ(budget.splits(), 0u);
}

TEST(SplitBudgetTest, OddBudgetsUseIntegerDivision) {
  SplitBudget budget(3);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_EQ(budget.splits(), 1u);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_FALSE(budget.try_split(false));
}

TEST(SplitBudgetTest, MigrationRestoresAtLeastTheThreadCount) {
  SplitBudget budget(4);
  while (budget.try_split(false)) {
  }
  EXPECT_TRUE(budget.try_split(true));
  EXPECT_EQ(budget.splits(), 4u);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_EQ(budget.splits(), 2u);
}

TEST(SplitBudgetTest, SingleThreadSplitsOnce) {
  SplitBudget budget(1);
  EXPECT_TRUE(budget.try_split(false));
  EXPECT_FALSE(budget.try_split(false));
  EXPECT_TRUE(budget.try_split(true));
  EXPECT_EQ(budget.splits(), 1u);
}

}  // namespace
}  // namespace bmx

#include "openbmc/pacing.h"

#include <gtest/gtest.h>

namespace {

TEST(OpenBmcPacing, AMessageIsHeldBackWithinItsPeriodAndCounted) {
  msglimiter m;
  unsigned held = 99;
  EXPECT_TRUE(m.allow(100, 60, &held));
  EXPECT_EQ(held, 0u);
  EXPECT_FALSE(m.allow(100, 60, &held));
  EXPECT_FALSE(m.allow(159, 60, &held));
  EXPECT_TRUE(m.allow(160, 60, &held));
  EXPECT_EQ(held, 2u);
  EXPECT_FALSE(m.allow(200, 60, &held));
  EXPECT_TRUE(m.allow(220, 60, &held));
  EXPECT_EQ(held, 1u);
}

}  // namespace

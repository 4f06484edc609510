#include "openbmc/pacing.h"

#include <gtest/gtest.h>

namespace {

TEST(OpenBmcPacing, LoginWaitDoublesFromThirtySecondsToFifteenMinutes) {
  EXPECT_EQ(loginbackoff(0), 0);
  EXPECT_EQ(loginbackoff(1), 30);
  EXPECT_EQ(loginbackoff(2), 60);
  EXPECT_EQ(loginbackoff(5), 480);
  EXPECT_EQ(loginbackoff(6), 900);
  EXPECT_EQ(loginbackoff(1000000), 900);
}

TEST(OpenBmcPacing, AfterARefusalAtMostFiveLoginsOfThePollInFiveMinutes) {
  // A BMC that takes every other login: the back-off starts anew each time,
  // the window still holds.
  loginpacer p;
  time_t t = 1000;
  int started = 0;
  for (; t < 1000 + LOGINWINDOW; t++) {
    if (!p.mayattempt(t)) continue;
    p.attempted(t, false);
    started++;
    if (started % 2) p.refused(t); else p.accepted();
  }
  EXPECT_EQ(started, 5);
  // A command's login does not count; the first login leaves the window.
  p.attempted(t - 1, true);
  EXPECT_TRUE(p.mayattempt(t));
}

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

#include "model/loginpacer.h"

#include <gtest/gtest.h>

#include "model/globals.h"

namespace {

TEST(LoginPacer, LoginWaitDoublesFromThirtySecondsToFifteenMinutes) {
  EXPECT_EQ(loginbackoff(0), 0);
  EXPECT_EQ(loginbackoff(1), 30);
  EXPECT_EQ(loginbackoff(2), 60);
  EXPECT_EQ(loginbackoff(5), 480);
  EXPECT_EQ(loginbackoff(6), 900);
  EXPECT_EQ(loginbackoff(1000000), 900);
}

TEST(LoginPacer, AfterARefusalAtMostFiveLoginsOfThePollInFiveMinutes) {
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

TEST(LoginPacer, TheOperatorLetsOneWaitingLoginGo) {
  loginpacer p;
  loginretries.fetch_add(1);  // while nothing waited: spent by the refusal
  p.attempted(1000, false);
  p.refused(1000);
  EXPECT_FALSE(p.maylogin(1010));
  loginretries.fetch_add(1);  // SIGHUP
  EXPECT_TRUE(p.maylogin(1010));
  p.attempted(1010, false);
  p.refused(1010);
  // One request, one login; the wait goes on doubling.
  EXPECT_FALSE(p.maylogin(1011));
  EXPECT_FALSE(p.maylogin(1010 + 59));
  EXPECT_TRUE(p.maylogin(1010 + 60));
}

TEST(LoginPacer, ARefusalIsSaidOnceThenHourlyAndAgainAfterAnAcceptedLogin) {
  loginpacer p;
  unsigned held = 99;
  time_t t = 1000;
  p.refused(t);
  EXPECT_TRUE(p.sayrefusal(t, &held));
  EXPECT_EQ(held, 0u);
  p.refused(t + 30);
  EXPECT_FALSE(p.sayrefusal(t + 30, &held));
  p.refused(t + 90);
  EXPECT_FALSE(p.sayrefusal(t + REFUSALREPORTPERIOD - 1, &held));
  EXPECT_TRUE(p.sayrefusal(t + REFUSALREPORTPERIOD, &held));
  EXPECT_EQ(held, 2u);
  EXPECT_EQ(p.accepted(), 3);
  EXPECT_EQ(p.accepted(), 0);
  p.refused(t + REFUSALREPORTPERIOD + 5);
  EXPECT_TRUE(p.sayrefusal(t + REFUSALREPORTPERIOD + 5, &held));
  EXPECT_EQ(held, 0u);
}

}  // namespace

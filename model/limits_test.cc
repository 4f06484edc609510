#include <gtest/gtest.h>
#include <math.h>

#include "alerts/alerts.h"
#include "tests/unit/alertfixture.h"

namespace {

TEST(CompareLimits, StrictLowFirstAndNaNWithin) {
  const double l[4] = {10, 20, 80, 90};
  EXPECT_EQ(comparelimits(9.99, l), -2);
  EXPECT_EQ(comparelimits(10, l), -1);  // equal to crit low: not critical
  EXPECT_EQ(comparelimits(19.99, l), -1);
  EXPECT_EQ(comparelimits(20, l), 0);
  EXPECT_EQ(comparelimits(80, l), 0);
  EXPECT_EQ(comparelimits(80.01, l), 1);
  EXPECT_EQ(comparelimits(90, l), 1);  // equal to crit high: warning only
  EXPECT_EQ(comparelimits(90.01, l), 2);
  EXPECT_EQ(comparelimits(NAN, l), 0);
  const double same[4] = {10, 20, 90, 90};
  EXPECT_EQ(comparelimits(90, same), 0);
  const double crossed[4] = {10, 100, 50, 60};  // below low and above high
  EXPECT_EQ(comparelimits(70, crossed), -1);
  const double zero[4] = {0, 0, 0, 0};
  EXPECT_EQ(comparelimits(-0.5, zero), -2);
  EXPECT_EQ(comparelimits(0, zero), 0);
  EXPECT_EQ(comparelimits(1, zero), 2);
}

// A node that has been up and settled: every pass may examine it.
class CheckLimits : public AlertTest {
 protected:
  void SetUp() override {
    AlertTest::SetUp();
    n1.power = true;
    n1.dead = false;
    n1.firsttime = testclock::fixed - 180;
    n1.lastcheck = 0;
    n1.pwr_statuswaiting = 0;
    for (int i = 0; i < def.numfans; i++) n1.fan[i] = 4000;
    n1.temp[0] = 40;
    n1.volt[0] = 12;
    n1.disc[0] = n1.disc[1] = IPMI_DISC_HEALTHY;
  }
};

TEST_F(CheckLimits, SkipsSettlingUnpoweredDeadShuttingDownAndTooSoon) {
  n1.fan[0] = 100;
  n1.firsttime = testclock::fixed - 179;
  EXPECT_EQ(n1.checklimits(), 1);
  EXPECT_EQ(n1.lastcheck, 0);
  EXPECT_EQ(alertcount(), 0u);
  n1.firsttime = testclock::fixed - 180;

  n1.power = false;
  EXPECT_EQ(n1.checklimits(), 1);
  n1.power = true;
  n1.dead = true;
  EXPECT_EQ(n1.checklimits(), 1);
  n1.dead = false;
  n1.inShutdown = true;
  EXPECT_EQ(n1.checklimits(), 1);
  n1.inShutdown = false;
  EXPECT_EQ(alertcount(), 0u);

  EXPECT_EQ(n1.checklimits(), 0);
  EXPECT_EQ(n1.lastcheck, testclock::fixed.load());
  time_t last = n1.lastcheck;
  testclock::advance(5);
  EXPECT_EQ(n1.checklimits(), 1);
  EXPECT_EQ(n1.lastcheck, last);
  EXPECT_EQ(find(&n1, FAN, 0)->occurances, 0);
  testclock::advance(1);
  EXPECT_EQ(n1.checklimits(), 0);
  EXPECT_EQ(find(&n1, FAN, 0)->occurances, 1);
}

TEST_F(CheckLimits, WhatCountsAsOutOfLimits) {
  n1.fan[0] = 400;   // fan warning low: an alert
  n1.fan[1] = NAN;   // no number: within limits
  n1.temp[0] = 1;    // temperature below its low limits: harmless
  n1.volt[0] = 11;   // equal to crit low, below alert low: an alert
  n1.disc[0] = NAN;  // discrete, no number: an alert
  n1.disc[1] = IPMI_DISC_WARN;
  EXPECT_EQ(n1.checklimits(), 0);
  EXPECT_NE(find(&n1, FAN, 0), nullptr);
  EXPECT_EQ(find(&n1, FAN, 1), nullptr);
  EXPECT_EQ(find(&n1, TEMP, 0), nullptr);
  ASSERT_NE(find(&n1, VOLT, 0), nullptr);
  EXPECT_EQ(find(&n1, VOLT, 0)->limits[ALERTLOW], 11.4);
  ASSERT_NE(find(&n1, DISC, 0), nullptr);
  EXPECT_EQ(find(&n1, DISC, 0)->limits[CRITHIGH], 0.0);
  EXPECT_NE(find(&n1, DISC, 1), nullptr);

  // Only discrete alerts: the pass counts as within limits.
  clearalerts();
  n1.fan[0] = 4000;
  n1.volt[0] = 12;
  testclock::advance(6);
  EXPECT_EQ(n1.checklimits(), 1);
  EXPECT_EQ(alertcount(), 2u);

  // Back within limits: pruned once quiet for more than 390 s.
  n1.disc[0] = n1.disc[1] = IPMI_DISC_HEALTHY;
  n1.temp[0] = 95;
  testclock::advance(391);
  EXPECT_EQ(n1.checklimits(), 0);
  ASSERT_EQ(alertcount(), 1u);
  EXPECT_NE(find(&n1, TEMP, 0), nullptr);
}

TEST_F(CheckLimits, AnUnansweredStatusQueryMakesTheNodeDeadOnTheFifthPass) {
  n1.fan[0] = 100;
  n1.pwr_statuswaiting = 1;  // a query went out and was never answered
  n1.powerasked = testclock::fixed.load();
  for (int pass = 1; pass <= 4; pass++) {
    testclock::advance(6);
    EXPECT_EQ(n1.checklimits(), 0) << pass;
    EXPECT_EQ(n1.pwr_statuswaiting, pass + 1);
  }
  testing::internal::CaptureStderr();
  testclock::advance(6);
  EXPECT_EQ(n1.checklimits(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "checklimits setting power to false\n"),
            std::string::npos);
  EXPECT_EQ(n1.pwr_statuswaiting, 0);
  EXPECT_FALSE(n1.power);
  EXPECT_TRUE(n1.dead);
  EXPECT_EQ(n1.firsttime, 0);
  EXPECT_EQ(n1.lastupdate, 0);
  EXPECT_EQ(find(&n1, FAN, 0)->occurances, 3);  // that pass added nothing
}

TEST_F(CheckLimits, TheClusterPassesOverItsNodesInOrder) {
  int saved = mycluster.numnodes;
  node& a = mycluster.mynodes[0];
  a.thischassis = &def;
  a.power = true;
  a.dead = false;
  a.firsttime = testclock::fixed - 200;
  a.lastcheck = 0;
  a.fan[0] = 100;
  mycluster.numnodes = 1;
  mycluster.checklimits();
  mycluster.numnodes = saved;
  EXPECT_NE(find(&a, FAN, 0), nullptr);
  EXPECT_EQ(a.lastcheck, testclock::fixed.load());
  a.thischassis = nullptr;
  a.power = false;
  a.dead = true;
  a.firsttime = 0;
}

}  // namespace

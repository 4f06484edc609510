#include "alerts/alerts.h"

#include <gtest/gtest.h>
#include <math.h>

#include "tests/unit/alertfixture.h"

namespace {

const char CRITVOLT[] =
    "Critical high alert generated for node node01:\n"
    "  Voltage[1] 12V reading 13.50\n"
    "  Configured limits for this sensor are:\n"
    "      crit low: 11.00\n     alert low: 11.40\n"
    "    alert high: 12.60\n     crit high: 13.00\n"
    "  This is a critical value and would trigger an automatic poweroff of "
    "the node. However, this feature is disabled.\n\n";

using AlertList = AlertTest;

TEST_F(AlertList, EmptyListSendsNothing) {
  pendingalerts.process();
  EXPECT_FALSE(alertlock.load());
  EXPECT_EQ(pendingalerts.myemail.current, nullptr);
  EXPECT_EQ(globalreporttime, 0);
}

TEST_F(AlertList, AnAlertRipensOnItsSeventhPass) {
  seen(&n1, VOLT, 0, 13.5, 6);
  ASSERT_EQ(find(&n1, VOLT, 0)->occurances, 5);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, VOLT, 0)->reported, 0);
  EXPECT_EQ(pendingalerts.myemail.current, nullptr);

  seen(&n1, VOLT, 0, 13.5, 1);
  testclock::advance(6);  // the newest reading, not the count's start, shows
  pendingalerts.add(VOLT, &n1, 0, 13.5, def.voltlimit[0]);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, VOLT, 0)->reported, testclock::fixed.load());
  EXPECT_EQ(globalreporttime, testclock::fixed.load());
  EXPECT_EQ(body(), CRITVOLT);
  EXPECT_NE(pendingalerts.myemail.current, nullptr);
  EXPECT_FALSE(alertlock.load());
}

TEST_F(AlertList, CriticalIsPromptAndAWaitingWarningJoinsIt) {
  globalreporttime = testclock::fixed - 1;  // an e-mail a second ago
  seen(&n1, FAN, 0, 400, 7);                // warning low
  pendingalerts.process();
  EXPECT_EQ(find(&n1, FAN, 0)->reported, 0);
  EXPECT_EQ(pendingalerts.myemail.current, nullptr);

  seen(&n2, VOLT, 0, 13.5, 7);  // critical high, seen after the fan
  pendingalerts.process();
  EXPECT_GT(find(&n1, FAN, 0)->reported, 0);
  EXPECT_GT(find(&n2, VOLT, 0)->reported, 0);
  std::string text = body();
  size_t crit = text.find("Critical high alert generated for node node02:\n");
  size_t warn = text.find("Warning low alert generated for node node01:\n");
  ASSERT_NE(crit, std::string::npos);
  ASSERT_NE(warn, std::string::npos);
  EXPECT_LT(crit, warn);
}

TEST_F(AlertList, AWarningWaitsFor120SecondsOfQuiet) {
  seen(&n1, TEMP, 0, 85, 7);  // warning high
  globalreporttime = testclock::fixed - 120;
  pendingalerts.process();
  EXPECT_EQ(find(&n1, TEMP, 0)->reported, 0);
  globalreporttime = testclock::fixed - 121;
  pendingalerts.process();
  EXPECT_EQ(find(&n1, TEMP, 0)->reported, testclock::fixed.load());
  EXPECT_NE(body().find("  Temperature[1] CPU Temp reading 85.00\n"),
            std::string::npos);
}

TEST_F(AlertList, AtStartTheFirstRipeWarningGoesOut) {
  seen(&n1, FAN, 1, 9500, 7);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, FAN, 1)->reported, testclock::fixed.load());
}

TEST_F(AlertList, CriticalIsReportedAgainOnlyAfterMoreThan45Seconds) {
  seen(&n1, VOLT, 0, 13.5, 7);
  pendingalerts.process();
  time_t first = find(&n1, VOLT, 0)->reported;
  ASSERT_EQ(first, testclock::fixed.load());

  testclock::advance(45);
  pendingalerts.add(VOLT, &n1, 0, 13.5, def.voltlimit[0]);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, VOLT, 0)->reported, first);

  testclock::advance(1);
  pendingalerts.add(VOLT, &n1, 0, 13.5, def.voltlimit[0]);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, VOLT, 0)->reported, first + 46);
}

TEST_F(AlertList, WarningsComeBackAfter900sOr420sWithAnotherEmail) {
  seen(&n1, FAN, 0, 400, 7);
  pendingalerts.process();
  time_t first = find(&n1, FAN, 0)->reported;
  ASSERT_EQ(first, testclock::fixed.load());

  testclock::advance(900);
  pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, FAN, 0)->reported, first);
  testclock::advance(1);
  pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
  pendingalerts.process();
  EXPECT_EQ(find(&n1, FAN, 0)->reported, first + 901);
}

TEST_F(AlertList, AWarningJoinsACriticalEmailAfter420Seconds) {
  for (int wait : {420, 421}) {
    clearalerts();
    seen(&n1, FAN, 0, 400, 7);
    pendingalerts.process();
    time_t first = find(&n1, FAN, 0)->reported;
    ASSERT_EQ(first, testclock::fixed.load());
    testclock::advance(wait - 36);
    seen(&n2, VOLT, 0, 13.5, 7);
    pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
    pendingalerts.process();
    EXPECT_EQ(find(&n2, VOLT, 0)->reported, first + wait);
    EXPECT_EQ(find(&n1, FAN, 0)->reported, wait > 420 ? first + wait : first)
        << wait;
    EXPECT_EQ(body().find("node01") != std::string::npos, wait > 420) << wait;
    testclock::advance(1000);
  }
}

TEST_F(AlertList, AQuietSensorKeepsItsCountFor390Seconds) {
  seen(&n1, FAN, 0, 400, 3);
  testclock::advance(300);
  pendingalerts.prune(FAN, &n1, 0);
  ASSERT_NE(find(&n1, FAN, 0), nullptr);
  pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
  EXPECT_EQ(find(&n1, FAN, 0)->occurances, 3);

  testclock::advance(390);
  pendingalerts.prune(FAN, &n1, 0);
  ASSERT_NE(find(&n1, FAN, 0), nullptr);
  testclock::advance(1);
  pendingalerts.prune(FAN, &n1, 0);
  EXPECT_EQ(find(&n1, FAN, 0), nullptr);
  pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
  EXPECT_EQ(find(&n1, FAN, 0)->occurances, 0);
  EXPECT_FALSE(alertlock.load());
}

TEST_F(AlertList, RemoveDropsEveryAlertOfOneNode) {
  seen(&n1, FAN, 0, 400, 1);
  seen(&n1, DISC, 1, 1, 1);
  seen(&n2, FAN, 0, 400, 1);
  pendingalerts.remove(&n1);
  holding<flaglock> hold(alertlock);
  ASSERT_EQ(pendingalerts.myalerts.size(), 1u);
  EXPECT_TRUE(pendingalerts.myalerts.front().matches(&n2));
}

TEST_F(AlertList, NewestUnreportedFirstAndTiesInReverseOrder) {
  // n1 and n2 are seen at the same moments: equal keys.
  for (int i = 0; i < 7; i++) {
    if (i) testclock::advance(6);
    pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
    pendingalerts.add(FAN, &n2, 0, 400, def.fanlimit[0]);
  }
  pendingalerts.process();
  std::string text = body();
  EXPECT_LT(text.find("node node02"), text.find("node node01"));
  {
    holding<flaglock> hold(alertlock);
    EXPECT_TRUE(pendingalerts.myalerts.front().matches(&n2));
  }

  // A reported alert sorts behind one that never was.
  testclock::advance(901);
  pendingalerts.add(FAN, &n1, 0, 400, def.fanlimit[0]);
  seen(&n1, FAN, 1, 200, 7);
  pendingalerts.process();
  text = body();
  EXPECT_LT(text.find("Fan[2]"), text.find("Fan[1]"));
}

TEST_F(AlertList, DiscreteWarningsAndUnknownsAreUrgent) {
  globalreporttime = testclock::fixed - 1;
  seen(&n1, DISC, 1, IPMI_DISC_WARN, 7);
  seen(&n2, DISC, 1, IPMI_DISC_UNKNOWN, 7);
  pendingalerts.process();
  EXPECT_GT(find(&n1, DISC, 1)->reported, 0);
  EXPECT_GT(find(&n2, DISC, 1)->reported, 0);
  EXPECT_NE(body().find("Discrete sensor CMOS Battery on node02 is in state: "
                        "UNKNOWN\n"),
            std::string::npos);

  // A value that is no number is no critical state: it waits for quiet.
  testclock::advance(10);
  globalreporttime = testclock::fixed - 1;
  seen(&n2, DISC, 0, NAN, 7);
  pendingalerts.process();
  EXPECT_EQ(find(&n2, DISC, 0)->reported, 0);
}

}  // namespace

#include <gtest/gtest.h>
#include <math.h>

#include <string>

#include "ipmi/openipmi.h"
#include "tests/unit/nodefixture.h"

namespace {

using ReportReading = NodeFixture;

TEST_F(ReportReading, AZeroIsBelievedOnlyFromTheThirdInARow) {
  n.reportreading("FAN1", 5000.0);
  EXPECT_EQ(n.fan[0], 5000.0);
  EXPECT_FALSE(n.isdead());
  EXPECT_EQ(n.lastupdate, clockvalue);

  n.dead = true;
  n.lastupdate = 5;
  n.reportreading("FAN1", 0.0);
  n.reportreading("FAN1", 0.0);
  EXPECT_EQ(n.fan[0], 5000.0);
  n.reportreading("FAN1", 0.0);
  EXPECT_EQ(n.fan[0], 0.0);
  n.reportreading("FAN1", 0.0);
  EXPECT_EQ(n.fan[0], 0.0);
  // Zeros neither revive the node nor count as an update.
  EXPECT_TRUE(n.isdead());
  EXPECT_EQ(n.lastupdate, 5);

  // A non-zero reading is stored at once and restarts the count.
  n.reportreading("FAN1", 4200.0);
  EXPECT_EQ(n.fan[0], 4200.0);
  EXPECT_FALSE(n.isdead());
  n.reportreading("FAN1", 0.0);
  n.reportreading("FAN1", 0.0);
  EXPECT_EQ(n.fan[0], 4200.0);
}

TEST_F(ReportReading, DiscreteHealthReturnsToHealthyOnlyOnTheThirdAnswer) {
  n.reportreading("PSU1 Status", IPMI_DISC_CRIT);
  EXPECT_EQ(n.disc[0], 2.0);
  n.reportreading("PSU1 Status", IPMI_DISC_HEALTHY);
  n.reportreading("PSU1 Status", IPMI_DISC_HEALTHY);
  EXPECT_EQ(n.disc[0], 2.0);
  n.reportreading("PSU1 Status", IPMI_DISC_HEALTHY);
  EXPECT_EQ(n.disc[0], 0.0);
  n.reportreading("CMOS Battery", IPMI_DISC_WARN);
  EXPECT_EQ(n.disc[1], 1.0);
}

TEST_F(ReportReading, ANameInTwoTablesFeedsTheFirstKindOnly) {
  n.reportreading("Shared", 3.3);
  EXPECT_EQ(n.volt[1], 3.3);
  EXPECT_EQ(n.temp[1], 0.0);
}

TEST_F(ReportReading, NamesMustMatchExactly) {
  n.reportreading("cpu temp", 50.0);
  n.reportreading("CPU Temp1", 50.0);
  n.reportreading("CPU  Temp", 50.0);
  n.reportreading("CPU", 50.0);
  EXPECT_EQ(n.temp[0], 0.0);
  EXPECT_TRUE(n.isdead());
  EXPECT_EQ(n.lastupdate, 0);
}

TEST_F(ReportReading, ClearingReadingsKeepsTheZeroCounts) {
  n.reportreading("12V", 12.0);
  n.reportreading("12V", 0.0);
  n.reportreading("12V", 0.0);
  n.power = true;
  n.zerosensors();
  EXPECT_EQ(n.volt[0], 0.0);
  EXPECT_FALSE(n.ispowered());
  EXPECT_EQ(n.lastupdate, clockvalue);
  EXPECT_EQ(n.voltfail[0], 2);
}

using Poll = NodeFixture;

TEST_F(Poll, ALivePoweredNodeIsPolledAtMostEveryFiveSeconds) {
  n.dead = false;
  n.power = true;
  n.pwr_statuswaiting = 1;  // a status request is outstanding
  n.powerasked = clockvalue.load();
  n.lastupdate = clockvalue.load();
  EXPECT_TRUE(n.getdata());
  EXPECT_EQ(n.lastquery, clockvalue);
  clockvalue += 4;
  EXPECT_FALSE(n.getdata());
  EXPECT_EQ(n.lastquery, clockvalue - 4);
  clockvalue += 1;
  EXPECT_TRUE(n.getdata());
  EXPECT_EQ(n.pwr_statuswaiting, 1);
}

TEST_F(Poll, AnOffNodeWithoutBmcComplainsEveryThreeSeconds) {
  n.dead = false;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(n.getdata());
  EXPECT_EQ(n.lastquery, clockvalue - 2);
  clockvalue += 2;
  EXPECT_FALSE(n.getdata());
  clockvalue += 1;
  EXPECT_FALSE(n.getdata());
  std::string err = testing::internal::GetCapturedStderr();
  const std::string line =
      "Unable to locate BMC for node01 to issue power/reset command.\n";
  EXPECT_EQ(err, line + line);
  EXPECT_EQ(n.pwr_statuswaiting, 0);
}

TEST_F(Poll, ADeadNodeWithoutBmcIsLeftAloneButPacedAtThreeSeconds) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(n.getdata());
  EXPECT_EQ(n.lastquery, clockvalue - 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Poll, ANodeSilentForMoreThan25SecondsIsDeclaredDead) {
  n.dead = false;
  n.power = true;
  n.pwr_statuswaiting = 1;
  n.powerasked = clockvalue.load();
  n.lastupdate = 1700000000;  // the wall clock's, only printed
  n.lastreading = clockvalue - 25;
  n.firsttime = clockvalue - 100;
  EXPECT_TRUE(n.getdata());
  EXPECT_FALSE(n.isdead());

  clockvalue += 6;  // 31 s since the last reading
  EXPECT_FALSE(n.getdata());
  EXPECT_TRUE(n.isdead());
  EXPECT_EQ(n.lastupdate, 0);
  EXPECT_EQ(n.lastreading, 0);
  EXPECT_EQ(n.firsttime, 0);

  // Without a reading to go by the rule never fires.
  n.dead = false;
  clockvalue += 100;
  EXPECT_TRUE(n.getdata());
  EXPECT_FALSE(n.isdead());
}

}  // namespace

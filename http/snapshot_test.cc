#include "http/snapshot.h"

#include <gtest/gtest.h>
#include <math.h>

#include "model/datastructs.h"
#include "tests/unit/nodefixture.h"

namespace {

// The fixture's node as the only node of the cluster, next to a dead one.
class SnapshotTest : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    savednodes = mycluster.numnodes;
    savedchassis = mycluster.numchassis;
    static char name[] = "test", deadname[] = "node02", fanlabel[] = "Fan";
    snprintf(c.name, sizeof c.name, "%s", name);
    c.fanshortname[0] = fanlabel;
    c.templimit[0][ALERTHIGH] = 80;
    c.templimit[0][CRITHIGH] = 90;
    c.disccrit[0] = true;
    c.disccrit[1] = false;  // the constructor leaves it unset
    mycluster.mynodes[0].thischassis = &c;
    mycluster.mynodes[0].link = &openbmc;
    mycluster.mynodes[0].name = n.name;
    mycluster.mynodes[1].thischassis = &c;
    mycluster.mynodes[1].name = deadname;
    mycluster.numnodes = 2;
    mycluster.numchassis = 0;
  }
  void TearDown() override {
    mycluster.numnodes = savednodes;
    mycluster.numchassis = savedchassis;
    mycluster.mynodes[0].link = nullptr;
    NodeFixture::TearDown();
  }
  int savednodes = 0, savedchassis = 0;
};

TEST_F(SnapshotTest, CopiesTheModelAndLeavesOutWhatANodeDoesNotHave) {
  node& live = mycluster.mynodes[0];
  live.dead = false;
  live.power = true;
  live.lastupdate = clockvalue - 3;
  live.firsttime = clockvalue - SETTLETIME;
  live.fan[0] = 5000;
  live.temp[0] = 95;  // above critical
  live.temp[1] = 0;   // no reading
  live.volt[0] = NAN;
  live.volt[1] = 12.1;
  live.disc[0] = IPMI_DISC_HEALTHY;  // 0 is a reading here
  live.disc[1] = IPMI_DISC_UNKNOWN;
  node& dead = mycluster.mynodes[1];
  dead.dead = true;
  dead.power = true;
  dead.lastupdate = clockvalue.load();
  dead.fan[0] = 4000;
  counters.powercommands[RESET] = 7;

  clustersnap s;
  takesnapshot(s, clockvalue);
  ASSERT_EQ(s.nodes.size(), 2u);
  const nodesnap& a = s.nodes[0];
  EXPECT_STREQ(a.name, "node01");
  EXPECT_STREQ(a.chassis, "test");
  EXPECT_STREQ(a.transport, "openbmc");
  EXPECT_EQ(a.settling, SETTLE_DONE);
  ASSERT_EQ(a.readings.size(), 7u);  // 1 fan, 2 temps, 2 volts, 2 discs
  const bool present[7] = {true, true, false, false, true, true, true};
  const int state[7] = {0, 2, 0, 0, 0, 0, 3};
  for (int i = 0; i < 7; i++) {
    EXPECT_EQ(a.readings[i].present, present[i]) << i;
    EXPECT_EQ(a.readings[i].state, state[i]) << i;
  }
  EXPECT_STREQ(a.readings[0].label, "Fan");
  EXPECT_STREQ(a.readings[1].sensor, "CPU Temp");
  EXPECT_EQ(a.readings[4].value, 12.1);
  EXPECT_TRUE(a.readings[5].critical);
  EXPECT_EQ(worststate(a), WORST_CRITICAL);

  const nodesnap& b = s.nodes[1];
  for (const readingsnap& r : b.readings) EXPECT_FALSE(r.present);
  EXPECT_EQ(b.settling, SETTLE_NONE);
  EXPECT_EQ(worststate(b), WORST_DEAD);
  EXPECT_EQ(s.powercommands[RESET], 7u);
}

TEST(SnapshotRules, ClassifyLikeTheAlertCheck) {
  const double limits[4] = {10, 20, 80, 90};
  EXPECT_EQ(limitstate(FAN, 5, limits), -2);
  EXPECT_EQ(limitstate(VOLT, 15, limits), -1);
  EXPECT_EQ(limitstate(FAN, 80, limits), 0);  // equal is within
  EXPECT_EQ(limitstate(VOLT, 85, limits), 1);
  EXPECT_EQ(limitstate(TEMP, 5, limits), 0);  // cold is harmless
  EXPECT_EQ(limitstate(TEMP, 91, limits), 2);
  EXPECT_EQ(limitstate(DISC, 1, nullptr), 1);

  EXPECT_EQ(settlingstate(0, 1000), SETTLE_NONE);
  EXPECT_EQ(settlingstate(1000 - SETTLETIME + 1, 1000), SETTLE_RUNNING);
  EXPECT_EQ(settlingstate(1000 - SETTLETIME, 1000), SETTLE_DONE);

  EXPECT_FALSE(readingpresent(FAN, 5000, false, false, 1));  // off
  EXPECT_FALSE(readingpresent(FAN, 5000, false, true, 0));   // never read
  EXPECT_TRUE(readingpresent(DISC, 0, false, true, 1));
  EXPECT_FALSE(readingpresent(TEMP, INFINITY, false, true, 1));
  EXPECT_FALSE(readingpresent(TEMP, NAN, false, true, 1));

  nodesnap n{};
  n.power = true;
  readingsnap r{};
  r.kind = DISC;
  r.present = true;
  r.state = IPMI_DISC_WARN;
  n.readings.push_back(r);
  EXPECT_EQ(worststate(n), WORST_WARNING);
  n.readings[0].present = false;
  EXPECT_EQ(worststate(n), WORST_OK);
  n.power = false;
  EXPECT_EQ(worststate(n), WORST_OFF);
}

}  // namespace

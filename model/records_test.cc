#include <gtest/gtest.h>
#include <string.h>

#include "model/datastructs.h"
#include "model/globals.h"

namespace {

// Fills the first `count` node slots of the global cluster with names.
class RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = mycluster.numnodes;
    mycluster.numnodes = 3;
    mycluster.mynodes[0].name = const_cast<char*>("node01");
    mycluster.mynodes[1].name = const_cast<char*>("node02");
    mycluster.mynodes[2].name = const_cast<char*>("node01");
  }
  void TearDown() override {
    for (int i = 0; i < 3; i++) mycluster.mynodes[i].name = nullptr;
    mycluster.numnodes = saved;
  }
  int saved = 0;
};

TEST_F(RecordsTest, LookupsFindTheFirstExactMatchOnly) {
  EXPECT_EQ(mycluster.findnode("node01"), &mycluster.mynodes[0]);
  EXPECT_EQ(mycluster.findnode("node02"), &mycluster.mynodes[1]);
  EXPECT_EQ(mycluster.findnode("NODE01"), nullptr);
  EXPECT_EQ(mycluster.findnode("node0"), nullptr);
}

TEST(NodeRecord, StartsDeadUnpoweredAndKeepsTheFirstSettlingTime) {
  node n;
  EXPECT_TRUE(n.isdead());
  EXPECT_FALSE(n.ispowered());
  EXPECT_EQ(n.firsttime, 0);
  n.initfirsttime();
  time_t first = n.firsttime;
  EXPECT_GT(first, 0);
  n.firsttime = first - 100;
  n.initfirsttime();
  EXPECT_EQ(n.firsttime, first - 100);
  n.lastupdate = 5;
  n.clearfirsttime();
  EXPECT_EQ(n.firsttime, 0);
  EXPECT_EQ(n.lastupdate, 0);
}

TEST(ChassisRecord, DefaultLimitsAreWide) {
  chassis c;
  EXPECT_EQ(c.fanlimit[0][CRITLOW], -1.0);
  EXPECT_EQ(c.templimit[191][ALERTHIGH], 40000.0);
  EXPECT_EQ(c.voltlimit[5][CRITHIGH], 40001.0);
  EXPECT_EQ(c.transportkind, TRANSPORT_IPMI);
}

TEST(ClusterCommand, AnUnknownNodeNameIsReportedOnce) {
  int saved = nodaemon;
  nodaemon = 1;  // messages on stderr as well
  testing::internal::CaptureStderr();
  EXPECT_TRUE(mycluster.command("nosuch", POWEROFF));  // no second message
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to locate node nosuch to issue command code 0.");
  nodaemon = saved;
}

}  // namespace

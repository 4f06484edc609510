// The OpenBMC side of the poll and the way a sensor reply reaches the
// node's readings.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "tests/unit/nodefixture.h"

namespace {

class OpenBmcPoll : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    useopenbmc();
  }
  std::list<int> queued() {
    holding<lockable> hold(openbmc.curlTaskLock);
    return openbmc.curlTasks;
  }
  // What the worker would take next; NONE when the queue is empty.
  int next() {
    holding<lockable> hold(openbmc.curlTaskLock);
    if (openbmc.curlTasks.empty()) return NONE;
    int task = openbmc.curlTasks.front();
    openbmc.curlTasks.pop_front();
    return task;
  }
  // Polls at the clock value `at`.
  bool pollat(time_t at) {
    clockvalue = at;
    return n.getdata();
  }
};

TEST_F(OpenBmcPoll, ADeadNodeGetsOneStatusTaskAtTheDeadNodePace) {
  ASSERT_TRUE(n.isdead());
  EXPECT_FALSE(pollat(100000));
  EXPECT_EQ(queued(), std::list<int>({STATUS}));
  EXPECT_FALSE(pollat(100002));  // within 3 s: paced out
  EXPECT_FALSE(pollat(100003));
  // The worker has not taken the first one yet: no second one.
  EXPECT_EQ(queued(), std::list<int>({STATUS}));
  next();
  EXPECT_FALSE(pollat(100006));
  EXPECT_EQ(queued(), std::list<int>({STATUS}));
}

TEST_F(OpenBmcPoll, ALivePoweredNodeGetsStatusAndDataButNeverTwice) {
  n.dead = false;
  n.power = true;
  n.lastupdate = 100000;
  EXPECT_TRUE(pollat(100000));
  EXPECT_EQ(queued(), std::list<int>({STATUS, GETDATA}));
  // A slow BMC: nothing was taken by the next polls.
  EXPECT_TRUE(pollat(100005));
  EXPECT_TRUE(pollat(100010));
  EXPECT_EQ(queued(), std::list<int>({STATUS, GETDATA}));
  // Power commands are queued whatever stands in the queue.
  n.command(POWERON);
  n.command(POWERON);
  EXPECT_EQ(queued(), std::list<int>({STATUS, GETDATA, POWERON, POWERON}));
  // While a login runs the poll queues nothing.
  while (next() != NONE) {
  }
  openbmc.curlInLogin = true;
  EXPECT_FALSE(pollat(100015));
  EXPECT_TRUE(queued().empty());
}

TEST_F(OpenBmcPoll, APoweredOffNodeGetsAStatusTaskEveryThreeSeconds) {
  n.dead = false;
  n.power = false;
  EXPECT_FALSE(pollat(100000));
  EXPECT_EQ(queued(), std::list<int>({STATUS}));
  next();
  EXPECT_FALSE(pollat(100003));
  EXPECT_EQ(queued(), std::list<int>({STATUS}));
}

TEST_F(OpenBmcPoll, ASensorReplyIsScaledIntoTheSlotOfItsName) {
  std::string reply =
      "{\n  \"data\": {\n    \"Scale\": -3, \n    \"Value\": 45125\n  }, \n"
      "  \"status\": \"ok\"\n}";
  openbmc.curlCurSens = "CPU Temp";
  openbmc.curlReply = reply;
  openbmc.judgesensor(200);
  EXPECT_DOUBLE_EQ(n.temp[0], 45.125);
  EXPECT_FALSE(n.isdead());
  EXPECT_EQ(n.lastupdate, clockvalue);
  EXPECT_EQ(n.firsttime, clockvalue);

  // An Off reply clears the readings; the node stays alive.
  n.power = true;
  std::string off =
      "\"CurrentPowerState\": "
      "\"xyz.openbmc_project.State.Chassis.PowerState.Off\"";
  openbmc.curlReply = off;
  openbmc.judgepowerstate();
  EXPECT_EQ(n.temp[0], 0.0);
  EXPECT_FALSE(n.ispowered());
  EXPECT_FALSE(n.isdead());
}

TEST_F(OpenBmcPoll, AnOpenBmcNodeQueuesPowerCodesAndRefusesOthers) {
  n.firsttime = 5;
  n.lastupdate = 7;
  EXPECT_TRUE(n.command(STATUS));
  EXPECT_EQ(n.firsttime, 5);
  EXPECT_TRUE(n.command(RESET));
  EXPECT_EQ(n.firsttime, 0);
  EXPECT_EQ(n.lastupdate, 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(n.command(GETDATA));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unknown command code 4 issued");
}

}  // namespace

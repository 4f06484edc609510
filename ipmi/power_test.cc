#include <gtest/gtest.h>

#include <string>

#include "ipmi/openipmi.h"
#include "tests/unit/nodefixture.h"

namespace {

class PowerStatus : public NodeFixture {
 protected:
  void reply(std::initializer_list<unsigned char> bytes) {
    unsigned char data[8] = {};
    int len = 0;
    for (unsigned char b : bytes) data[len++] = b;
    ipmi_msg_t msg = {};
    msg.netfn = 0x01;
    msg.cmd = 0x01;
    msg.data = data;
    msg.data_len = len;
    n.pwr_statuswaiting = 1;
    powerstatus(nullptr, &msg, &n);
  }
};

TEST_F(PowerStatus, PowerOnStartsTheSettlingTimeOnce) {
  reply({0x00, 0x01, 0x00, 0x00});
  EXPECT_TRUE(n.ispowered());
  EXPECT_FALSE(n.isdead());
  EXPECT_EQ(n.pwr_statuswaiting, 0);
  EXPECT_EQ(n.firsttime, clockvalue);
  EXPECT_TRUE(domainisup);

  // Still on: the settling time keeps running from its start.
  clockvalue += 30;
  n.dead = true;
  reply({0x00, 0x01});
  EXPECT_EQ(n.firsttime, clockvalue - 30);
  EXPECT_FALSE(n.isdead());
  EXPECT_EQ(n.pwr_statuswaiting, 0);

  // An error completion code with a power byte is read all the same.
  n.power = false;
  n.firsttime = 0;
  reply({0xc0, 0x21});
  EXPECT_TRUE(n.ispowered());
  EXPECT_EQ(n.firsttime, clockvalue);
}

TEST_F(PowerStatus, PowerOffClearsReadingsAndTheSettlingTime) {
  n.power = true;
  n.firsttime = 5;
  n.temp[0] = 45.0;
  n.disc[0] = 2.0;
  n.lastupdate = clockvalue.load();
  // Only bit 0 tells the power state.
  reply({0x00, 0x80});
  EXPECT_FALSE(n.ispowered());
  EXPECT_FALSE(n.isdead());
  EXPECT_EQ(n.temp[0], 0.0);
  EXPECT_EQ(n.disc[0], 0.0);
  EXPECT_EQ(n.firsttime, 0);
  EXPECT_EQ(n.lastupdate, 0);
  EXPECT_EQ(n.pwr_statuswaiting, 0);
}

TEST_F(PowerStatus, AShortReplyMakesTheNodeDeadAndOff) {
  n.dead = false;
  n.power = true;
  n.firsttime = 5;
  n.fan[0] = 5000.0;
  testing::internal::CaptureStderr();
  reply({0xc3});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "failed to detect node node01 power status\n");
  EXPECT_TRUE(n.isdead());
  EXPECT_FALSE(n.ispowered());
  EXPECT_EQ(n.fan[0], 0.0);
  EXPECT_EQ(n.firsttime, 0);
  EXPECT_EQ(n.lastupdate, 0);
  EXPECT_EQ(n.pwr_statuswaiting, 0);
}

using Command = NodeFixture;

TEST_F(Command, AnIpmiNodeWithoutBmcRefusesEveryCommand) {
  n.firsttime = 5;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(n.command(POWERON));
  EXPECT_FALSE(n.command(STATUS));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to locate BMC for node01 to issue power/reset command.\n"
            "Unable to locate BMC for node01 to issue power/reset command.\n");
  EXPECT_EQ(n.firsttime, 5);
  EXPECT_EQ(n.pwr_statuswaiting, 0);
}

}  // namespace

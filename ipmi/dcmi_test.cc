#include "ipmi/dcmi.h"

#include <gtest/gtest.h>

#include <vector>

#include "ipmi/openipmi.h"
#include "tests/unit/nodefixture.h"

namespace {

// Replies as BMCs give them: 298 W now (168 min, 450 max, 275 average),
// time stamp, a 1 s period, measurement active.
const std::vector<unsigned char> kActive = {
    0x00, 0xdc, 0x2a, 0x01, 0xa8, 0x00, 0xc2, 0x01, 0x13, 0x01,
    0x2b, 0x1a, 0x3e, 0x5f, 0xe8, 0x03, 0x00, 0x00, 0x40};
// The same BMC with power management switched off: zeros, bit 6 clear.
const std::vector<unsigned char> kInactive = {
    0x00, 0xdc, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x2b, 0x1a, 0x3e, 0x5f, 0xe8, 0x03, 0x00, 0x00, 0x00};

int judge(const std::vector<unsigned char>& r, double* watts) {
  return dcmireply(r.data(), static_cast<unsigned>(r.size()), watts);
}

TEST(DcmiReply, ReadsTheCurrentWattsOnlyOfAnActiveMeasurement) {
  double watts = -1;
  EXPECT_EQ(judge(kActive, &watts), DCMI_WATTS);
  EXPECT_EQ(watts, 298.0);
  std::vector<unsigned char> big = kActive;
  big[2] = 0xff;
  big[3] = 0xff;
  big[18] = 0xc0;  // other state bits do not matter
  EXPECT_EQ(judge(big, &watts), DCMI_WATTS);
  EXPECT_EQ(watts, 65535.0);

  watts = -1;
  EXPECT_EQ(judge(kInactive, &watts), DCMI_INACTIVE);
  // Cut short before the state byte, or of another group.
  EXPECT_EQ(judge({0x00, 0xdc, 0x2a, 0x01}, &watts), DCMI_MALFORMED);
  std::vector<unsigned char> other = kActive;
  other[1] = 0x00;
  EXPECT_EQ(judge(other, &watts), DCMI_MALFORMED);
  EXPECT_EQ(judge({}, &watts), DCMI_MALFORMED);
  EXPECT_EQ(watts, -1.0);

  // Invalid command (ipmi_sim and many BMCs), not supported now, a bad
  // field; against busy and time-out, which may pass.
  EXPECT_EQ(judge({0xc1}, &watts), DCMI_REFUSED);
  EXPECT_EQ(judge({0xd5}, &watts), DCMI_REFUSED);
  EXPECT_EQ(judge({0xcc, 0xdc}, &watts), DCMI_REFUSED);
  EXPECT_EQ(judge({0xc0}, &watts), DCMI_BUSY);
  EXPECT_EQ(judge({0xc3}, &watts), DCMI_BUSY);
}

class PowerReading : public NodeFixture {
 protected:
  void reply(std::vector<unsigned char> bytes) {
    ipmi_msg_t msg = {};
    msg.netfn = DCMI_NETFN | 1;
    msg.cmd = DCMI_GETPOWERREADING;
    msg.data = bytes.data();
    msg.data_len = static_cast<unsigned short>(bytes.size());
    ipmi.dcmiwaiting = true;
    powerreading(nullptr, &msg, &ipmi);
    EXPECT_FALSE(ipmi.dcmiwaiting);
  }
};

TEST_F(PowerReading, ABmcThatAnsweredIsAskedOnUntilItStopsMeasuring) {
  testing::internal::CaptureStderr();
  reply({0xc0});  // busy at first: asked again
  EXPECT_EQ(ipmi.dcmi, DCMI_UNASKED);
  reply(kActive);
  EXPECT_EQ(ipmi.dcmi, DCMI_ANSWERING);
  EXPECT_EQ(n.watts, 298.0);
  for (int i = 0; i < DCMI_TRIES + 1; i++) reply({0xc3});
  EXPECT_EQ(ipmi.dcmi, DCMI_ANSWERING);
  EXPECT_EQ(n.watts, 298.0);
  // Measurement switched off: its last figure is not left standing.
  reply(kInactive);
  EXPECT_EQ(ipmi.dcmi, DCMI_GIVENUP);
  EXPECT_LT(n.watts, 0.0);
  // Giving up is silent: most BMCs have no DCMI at all.
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(PowerReading, ABmcThatNeverAnswersIsGivenUpOn) {
  reply({0xc1});
  EXPECT_EQ(ipmi.dcmi, DCMI_GIVENUP);
  EXPECT_LT(n.watts, 0.0);

  ipmi.dcmi = DCMI_UNASKED;
  for (int i = 0; i < DCMI_TRIES - 1; i++) reply({0xc3});
  EXPECT_EQ(ipmi.dcmi, DCMI_UNASKED);
  reply({0xc3});
  EXPECT_EQ(ipmi.dcmi, DCMI_GIVENUP);
}

}  // namespace

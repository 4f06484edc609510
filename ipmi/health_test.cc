#include "ipmi/health.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "model/defines.h"

namespace {

struct States {
  bool bits[IPMI_NUM_STATES] = {};
  States(std::initializer_list<int> set) {
    for (int b : set) bits[b] = true;
  }
};

TEST(PowerSupplyHealth, FollowsTheTableTopDown) {
  // Without presence the supply is critical whatever else it says.
  EXPECT_EQ(powersupplyhealth(States({}).bits), IPMI_DISC_CRIT);
  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_FAIL, IPMI_PS_ACLOST}).bits),
            IPMI_DISC_CRIT);
  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_PREDFAIL}).bits), IPMI_DISC_CRIT);

  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_PRESENT}).bits),
            IPMI_DISC_HEALTHY);
  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_PRESENT, IPMI_PS_FAIL}).bits),
            IPMI_DISC_CRIT);
  EXPECT_EQ(powersupplyhealth(
                States({IPMI_PS_PRESENT, IPMI_PS_FAIL, IPMI_PS_PREDFAIL}).bits),
            IPMI_DISC_CRIT);
  // A failure caused by lost input is only a warning.
  EXPECT_EQ(powersupplyhealth(
                States({IPMI_PS_PRESENT, IPMI_PS_FAIL, IPMI_PS_ACLOST}).bits),
            IPMI_DISC_WARN);
  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_PRESENT, IPMI_PS_PREDFAIL}).bits),
            IPMI_DISC_WARN);
  EXPECT_EQ(
      powersupplyhealth(
          States({IPMI_PS_PRESENT, IPMI_PS_PREDFAIL, IPMI_PS_ACLOST}).bits),
      IPMI_DISC_WARN);
  // Lost input alone, and offsets the table does not name, are healthy.
  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_PRESENT, IPMI_PS_ACLOST}).bits),
            IPMI_DISC_HEALTHY);
  EXPECT_EQ(powersupplyhealth(States({IPMI_PS_PRESENT, 4, 5, 14}).bits),
            IPMI_DISC_HEALTHY);
}

TEST(BatteryHealth, FollowsTheTableTopDown) {
  EXPECT_EQ(batteryhealth(States({}).bits), IPMI_DISC_CRIT);
  EXPECT_EQ(batteryhealth(States({IPMI_BAT_LOW}).bits), IPMI_DISC_CRIT);
  EXPECT_EQ(batteryhealth(States({IPMI_BAT_PRESENT}).bits), IPMI_DISC_HEALTHY);
  EXPECT_EQ(batteryhealth(States({IPMI_BAT_PRESENT, IPMI_BAT_LOW}).bits),
            IPMI_DISC_WARN);
  EXPECT_EQ(batteryhealth(States({IPMI_BAT_PRESENT, IPMI_BAT_FAIL}).bits),
            IPMI_DISC_CRIT);
  EXPECT_EQ(batteryhealth(
                States({IPMI_BAT_PRESENT, IPMI_BAT_FAIL, IPMI_BAT_LOW}).bits),
            IPMI_DISC_CRIT);
}

}  // namespace

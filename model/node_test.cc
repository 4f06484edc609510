#include <gtest/gtest.h>
#include <math.h>

#include <string>

#include "output/statuspipe.h"
#include "tests/unit/nodefixture.h"

namespace {

using NonFiniteReading = NodeFixture;

std::string pipetemps(node& n) {
  std::string out;
  formatstatusrecord(&n, out);
  size_t at = out.find("$$TEMP");
  return out.substr(at, out.find('\n', at) - at);
}

TEST_F(NonFiniteReading, KeepsTheLastValueAndIsSaidOnceUntilFiniteAgain) {
  n.reportsensor("CPU Temp", 45.5);
  n.dead = true;  // only a reading may revive the node
  n.lastupdate = 5;

  testing::internal::CaptureStderr();
  n.reportsensor("CPU Temp", INFINITY);
  n.reportsensor("CPU Temp", -INFINITY);
  n.reportsensor("CPU Temp", NAN);
  n.reportsensor("12V", NAN);  // another sensor is said on its own
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Sensor CPU Temp on node01 gave no finite reading\n"
            "Sensor 12V on node01 gave no finite reading\n");
  EXPECT_EQ(n.temp[0], 45.5);
  EXPECT_EQ(n.volt[0], 0.0);
  EXPECT_TRUE(n.isdead());
  EXPECT_EQ(n.lastupdate, 5);
  EXPECT_EQ(pipetemps(n), "$$TEMP 4550 0");

  testing::internal::CaptureStderr();
  n.reportsensor("CPU Temp", 46.0);
  n.reportsensor("CPU Temp", INFINITY);
  // Nor does it count among the zeros that are believed on the third.
  n.reportsensor("FAN1", 3000.0);
  n.reportsensor("FAN1", 0.0);
  n.reportsensor("FAN1", NAN);
  n.reportsensor("FAN1", 0.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Sensor CPU Temp on node01 gave no finite reading\n"
            "Sensor FAN1 on node01 gave no finite reading\n");
  EXPECT_EQ(n.temp[0], 46.0);
  EXPECT_EQ(n.fan[0], 3000.0);
}

}  // namespace

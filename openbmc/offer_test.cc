#include "openbmc/offer.h"

#include <gtest/gtest.h>

#include <string>

#include "model/defines.h"

namespace {

TEST(OpenBmcOffer, ReadsTheEnumerationScaledInItsOrder) {
  const std::string body = R"({"data": {
    "/xyz/openbmc_project/sensors/voltage/p12v": {"Scale": -3,
      "Value": 12250, "CriticalLow": 10800, "WarningLow": null,
      "WarningHigh": 12600, "CriticalHigh": 13200},
    "/xyz/openbmc_project/sensors/fan_pwm/fan0": {"Value": 40.5,
      "Unit": "xyz.openbmc_project.Sensor.Value.Unit.Percent"},
    "/xyz/openbmc_project/sensors/power/total": {"Value": 300},
    "/xyz/openbmc_project/inventory/fan0": {"Present": true}},
    "message": "200 OK", "status": "ok"})";
  bmcoffer out;
  std::string error;
  ASSERT_TRUE(readenumerate(body.data(), body.size(), &out, &error)) << error;
  ASSERT_EQ(out.sensors.size(), 2u);
  const offeredsensor& v = out.sensors[0];
  EXPECT_EQ(v.name, "voltage/p12v");
  EXPECT_EQ(v.kind, VOLT);
  EXPECT_DOUBLE_EQ(v.reading, 12.25);
  EXPECT_DOUBLE_EQ(v.limits[CRITLOW], 10.8);
  EXPECT_FALSE(v.haslimit[ALERTLOW]);
  EXPECT_DOUBLE_EQ(v.limits[CRITHIGH], 13.2);
  const offeredsensor& f = out.sensors[1];
  EXPECT_EQ(f.kind, FAN);
  EXPECT_EQ(f.unit, UNIT_PERCENT);
  EXPECT_DOUBLE_EQ(f.reading, 40.5);
  EXPECT_EQ(out.unwatched, std::vector<std::string>{"power/total"});

  for (const std::string bad : {"", "[]", R"({"data": []})", "{\"data\": {"}) {
    bmcoffer none;
    EXPECT_FALSE(readenumerate(bad.data(), bad.size(), &none, &error)) << bad;
  }
}

}  // namespace

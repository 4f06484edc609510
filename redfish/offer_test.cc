#include "redfish/offer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/datastructs.h"
#include "redfish/replies.h"

namespace {

redfishreading read(const std::string& body) {
  redfishreading r;
  std::string error;
  EXPECT_TRUE(readsensor(body.data(), body.size(), &r, &error)) << error;
  return r;
}

TEST(RedfishOffer, KindsAndThresholdsOfASensor) {
  // A fatal threshold stands in for a missing critical one; a reading
  // without one of its limits leaves that limit to the probe.
  redfishreading t = read(
      R"({"Name":"CPU","ReadingType":"Temperature","Reading":40,)"
      R"("Thresholds":{"UpperFatal":{"Reading":95},)"
      R"("UpperCaution":{"Reading":80},"LowerCritical":{"Reading":null}}})");
  EXPECT_EQ(t.kind, TEMP);
  EXPECT_TRUE(t.haslimit[CRITHIGH]);
  EXPECT_EQ(t.limits[CRITHIGH], 95);
  EXPECT_EQ(t.limits[ALERTHIGH], 80);
  EXPECT_FALSE(t.haslimit[CRITLOW]);
  EXPECT_FALSE(t.haslimit[ALERTLOW]);
  // A percentage is a fan's only where the sensor says it is one.
  EXPECT_EQ(read(R"({"Name":"Fan 3","ReadingType":"Percent"})").kind, FAN);
  EXPECT_EQ(read(R"({"Name":"Pump","ReadingType":"Percent",)"
                 R"("PhysicalContext":"Fan"})").kind, FAN);
  EXPECT_EQ(read(R"({"Name":"CPU Usage","ReadingType":"Percent"})").kind, -1);
  EXPECT_EQ(read(R"({"Name":"Inlet","ReadingType":"Rotational"})").kind, FAN);
}

TEST(RedfishOffer, JoinsSourcesWithoutTakingASensorTwice) {
  auto r = [](int kind, const char* name) {
    redfishreading x;
    x.kind = kind;
    x.name = name;
    return x;
  };
  // Sensors gives both inlets of one name; Thermal repeats one of them and
  // adds a fan; Power adds a supply and a voltage of a temperature's name.
  std::vector<std::vector<redfishreading>> sources = {
      {r(TEMP, "Inlet"), r(TEMP, "Inlet"), r(-1, "Power Meter")},
      {r(TEMP, "Inlet"), r(FAN, "Fan0")},
      {r(DISC, "PSU1"), r(VOLT, "Inlet")}};
  bmcoffer out;
  joinreadings(sources, &out);
  std::vector<std::string> got;
  for (const offeredsensor& o : out.sensors)
    got.push_back(std::string(kindname(o.kind)) + " " + o.name);
  EXPECT_EQ(got, (std::vector<std::string>{"TEMP Inlet", "TEMP Inlet",
                                           "FAN Fan0", "DISC PSU1",
                                           "VOLT Inlet"}));
  EXPECT_EQ(out.unwatched, std::vector<std::string>{"Power Meter"});
}

}  // namespace

#include "http/statusjson.h"

#include <gtest/gtest.h>
#include <math.h>

#include <string>

TEST(StatusJson, GivesEveryNodeAndReadingWithNullForWhatIsMissing) {
  const double limits[4] = {-INFINITY, 5, 80, 90};
  clustersnap s;
  s.version = "v1";
  s.now = 1796683981;
  s.alerts = true;
  nodesnap n{};
  n.name = "n\"1";
  n.chassis = "c";
  n.transport = "openbmc";
  n.power = true;
  n.settling = SETTLE_RUNNING;
  readingsnap t{};
  t.kind = TEMP;
  t.sensor = "CPU Temp";
  t.label = "Cpu";
  t.limits = limits;
  t.present = true;
  t.value = 81.5;
  t.state = 1;
  readingsnap v = t;
  v.kind = VOLT;
  v.present = false;
  readingsnap d{};
  d.kind = DISC;
  d.sensor = "PSU1 Status";
  d.label = "Psu";
  d.critical = true;
  d.present = true;
  n.readings = {t, v, d};
  s.nodes = {n};

  std::string out;
  formatstatusjson(s, out);
  EXPECT_EQ(
      out,
      "{\"version\":\"v1\",\"time\":1796683981,\"alerts\":true,"
      "\"shutdowns\":false,\"settle_seconds\":180,\"nodes\":[{\"name\":"
      "\"n\\\"1\",\"chassis\":\"c\",\"transport\":\"openbmc\",\"dead\":false,"
      "\"power\":true,\"last_reading\":null,\"sensors_bound\":true,"
      "\"power_watts\":null,\"slurm\":null,"
      "\"settling\":\"settling\","
      "\"worst\":\"warning\",\"readings\":["
      "{\"kind\":\"temperature\",\"sensor\":\"CPU Temp\",\"label\":\"Cpu\","
      "\"unit\":\"celsius\",\"value\":81.5,\"limits\":{\"critical_low\":null,"
      "\"warning_low\":5,\"warning_high\":80,\"critical_high\":90},"
      "\"state\":1},"
      "{\"kind\":\"voltage\",\"sensor\":\"CPU Temp\",\"label\":\"Cpu\","
      "\"unit\":\"volts\",\"value\":null,\"limits\":{\"critical_low\":null,"
      "\"warning_low\":5,\"warning_high\":80,\"critical_high\":90},"
      "\"state\":null},"
      "{\"kind\":\"discrete\",\"sensor\":\"PSU1 Status\",\"label\":\"Psu\","
      "\"unit\":null,\"value\":0,\"limits\":null,\"critical\":true,"
      "\"state\":0}],\"events\":null}]}");

  // A node whose BMC keeps an event log lists its last entries.
  s.nodes[0].hasevents = true;
  s.nodes[0].events = {{"BMC time +12 s", "DIMM \"A\"", "Memory: uncorrectable ECC",
                        true, HWEVENT_CRITICAL}};
  out.clear();
  formatstatusjson(s, out);
  EXPECT_NE(out.find("\"events\":[{\"time\":\"BMC time +12 s\",\"sensor\":"
                     "\"DIMM \\\"A\\\"\",\"event\":\"Memory: uncorrectable ECC\","
                     "\"asserted\":true,\"severity\":\"critical\"}]}"),
            std::string::npos)
      << out;

  // JSON has no spelling for a non-finite value; it must not break the
  // whole document.
  for (double bad : {INFINITY, -INFINITY, NAN}) {
    s.nodes[0].readings[0].value = bad;
    out.clear();
    formatstatusjson(s, out);
    EXPECT_NE(out.find("\"unit\":\"celsius\",\"value\":null,"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Inf"), std::string::npos) << out;
    EXPECT_EQ(out.find("NaN"), std::string::npos) << out;
  }
}

TEST(StatusJson, AFanItsBmcGivesInPercentSaysSo) {
  clustersnap s;
  nodesnap n{};
  n.name = "n";
  n.chassis = "c";
  n.transport = "redfish";
  readingsnap f{};
  f.kind = FAN;
  f.sensor = "Fan 1";
  f.label = "F1";
  f.limits = nullptr;
  f.present = false;
  readingsnap p = f;
  p.percent = true;
  const double limits[4] = {10, 20, 90, 100};
  f.limits = p.limits = limits;
  n.readings = {f, p};
  s.nodes = {n};
  std::string out;
  formatstatusjson(s, out);
  size_t rpm = out.find("\"unit\":\"rpm\"");
  size_t percent = out.find("\"unit\":\"percent\"");
  EXPECT_NE(rpm, std::string::npos) << out;
  EXPECT_NE(percent, std::string::npos) << out;
  EXPECT_LT(rpm, percent);
}

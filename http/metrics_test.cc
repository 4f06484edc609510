#include "http/metrics.h"

#include <gtest/gtest.h>

#include <string>

#include "http/snapshot.h"

namespace {

const double kLimits[4] = {0, 5, 80, 90};

readingsnap reading(int kind, const char* sensor, bool present, double value,
                    int state) {
  readingsnap r{};
  r.kind = kind;
  r.sensor = sensor;
  r.label = "L";
  r.limits = kind == DISC ? nullptr : kLimits;
  r.present = present;
  r.value = value;
  r.state = state;
  return r;
}

// Two nodes: a settled one whose name needs escaping, with a temperature
// and a missing voltage, and a dead one.
clustersnap sample() {
  clustersnap s;
  s.version = "v1";
  nodesnap a{};
  a.name = "rack\"1\\n";
  a.chassis = "c";
  a.transport = "ipmi";
  a.power = true;
  a.lastupdate = 1796683981;
  a.settling = SETTLE_DONE;
  a.readings = {reading(TEMP, "CPU Temp", true, 95.5, 2),
                reading(VOLT, "12V", false, 0, 0),
                reading(DISC, "PSU", true, 0, 0)};
  nodesnap b = a;
  b.name = "b";
  b.dead = true;
  b.lastupdate = 0;  // the staleness rule clears it
  b.settling = SETTLE_RUNNING;
  for (readingsnap& r : b.readings) r.present = false;
  s.nodes = {a, b};
  chassissnap c;
  c.name = "c";
  c.sensors = {reading(TEMP, "CPU Temp", false, 0, 0)};
  s.chassis = {c};
  s.emailsfailed = 3;
  s.powercommands[POWERON] = 2;
  return s;
}

TEST(Metrics, ExportsWhatTheNodesHaveAndOnlyThat) {
  std::string out;
  formatmetrics(sample(), false, out);
  const char* expected[] = {
      "kestrel_up{node=\"rack\\\"1\\\\n\",chassis=\"c\",transport=\"ipmi\"} 1\n",
      "kestrel_up{node=\"b\",chassis=\"c\",transport=\"ipmi\"} 0\n",
      "kestrel_power_on{node=\"rack\\\"1\\\\n\"} 1\n",
      "kestrel_last_reading_timestamp_seconds{node=\"rack\\\"1\\\\n\"} "
      "1796683981\n",
      "kestrel_temperature_celsius{node=\"rack\\\"1\\\\n\",chassis=\"c\","
      "sensor=\"CPU Temp\",label=\"L\"} 95.5\n",
      "kestrel_sensor_health{node=\"rack\\\"1\\\\n\",chassis=\"c\","
      "sensor=\"PSU\",label=\"L\"} 0\n",
      "kestrel_sensor_limit{chassis=\"c\",kind=\"temperature\",sensor=\"CPU "
      "Temp\",limit=\"critical_high\"} 90\n",
      "kestrel_limit_state{node=\"rack\\\"1\\\\n\",chassis=\"c\",kind="
      "\"temperature\",sensor=\"CPU Temp\",label=\"L\"} 2\n",
      "# TYPE kestrel_alert_emails_total counter\n",
      "kestrel_alert_emails_total{result=\"failed\"} 3\n",
      "kestrel_commands_total{command=\"power_on\"} 2\n",
      "# TYPE kestrel_build_info gauge\nkestrel_build_info{version=\"v1\"} 1\n",
      "# TYPE kestrel_voltage_volts gauge\n# HELP kestrel_sensor_health"};
  for (const char* e : expected)
    EXPECT_NE(out.find(e), std::string::npos) << e << "\nin\n" << out;
  // The missing voltage and everything of the dead node but kestrel_up.
  EXPECT_EQ(out.find("kestrel_voltage_volts{"), std::string::npos);
  size_t upline = out.find('\n', out.find("kestrel_up{node=\"b\""));
  EXPECT_EQ(out.find("node=\"b\"", upline), std::string::npos);
  EXPECT_EQ(out.find("# EOF"), std::string::npos);

  // Event-log counts for the nodes whose transport keeps one.
  clustersnap s = sample();
  s.nodes[0].hasevents = true;
  s.nodes[0].eventcounts[HWEVENT_CRITICAL] = 4;
  out.clear();
  formatmetrics(s, false, out);
  EXPECT_NE(out.find("kestrel_sel_events_total{node=\"rack\\\"1\\\\n\","
                     "severity=\"critical\"} 4\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("kestrel_sel_events_total{node=\"b\""), std::string::npos);

  // How the requests to a BMC went, and how old its readings are.
  s = sample();
  s.now = 1796683991;
  s.nodes[0].hasrequests = true;
  s.nodes[0].requests.count = 12;
  s.nodes[0].requests.seconds = 3.5;
  s.nodes[0].requests.failures[FAIL_BUSY] = 2;
  out.clear();
  formatmetrics(s, false, out);
  for (const char* e :
       {"kestrel_reading_age_seconds{node=\"rack\\\"1\\\\n\"} 10\n",
        "# TYPE kestrel_bmc_request_duration_seconds summary\n",
        "kestrel_bmc_request_duration_seconds_sum{node=\"rack\\\"1\\\\n\"} 3.5\n",
        "kestrel_bmc_request_duration_seconds_count{node=\"rack\\\"1\\\\n\"} 12\n",
        "kestrel_bmc_request_failures_total{node=\"rack\\\"1\\\\n\",kind=\"busy\"} 2\n"})
    EXPECT_NE(out.find(e), std::string::npos) << e << "\nin\n" << out;
  EXPECT_EQ(out.find("kestrel_bmc_request_failures_total{node=\"b\""),
            std::string::npos);

  // A fan in rpm and one its BMC gives in percent: a family for each unit.
  s = sample();
  s.nodes[0].readings = {reading(FAN, "Fan 1", true, 7200, 0),
                         reading(FAN, "Fan 2", true, 35, 0)};
  s.nodes[0].readings[1].percent = true;
  out.clear();
  formatmetrics(s, false, out);
  EXPECT_NE(out.find("kestrel_fan_speed_rpm{node=\"rack\\\"1\\\\n\",chassis="
                     "\"c\",sensor=\"Fan 1\",label=\"L\"} 7200\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("kestrel_fan_speed_percent{node=\"rack\\\"1\\\\n\",chassis="
                     "\"c\",sensor=\"Fan 2\",label=\"L\"} 35\n"),
            std::string::npos) << out;
  EXPECT_EQ(out.find("kestrel_fan_speed_rpm{node=\"rack\\\"1\\\\n\",chassis="
                     "\"c\",sensor=\"Fan 2\""),
            std::string::npos);
}

TEST(Metrics, OpenMetricsNamesCounterAndInfoFamiliesAndEnds) {
  std::string out;
  formatmetrics(sample(), true, out);
  EXPECT_NE(out.find("# TYPE kestrel_alert_emails counter\n"
                     "kestrel_alert_emails_total{result=\"sent\"} 0\n"),
            std::string::npos);
  EXPECT_NE(out.find("# TYPE kestrel_build info\nkestrel_build_info{"),
            std::string::npos);
  EXPECT_EQ(out.find("_total counter"), std::string::npos);
  ASSERT_GT(out.size(), 6u);
  EXPECT_EQ(out.substr(out.size() - 6), "# EOF\n");
}

TEST(Metrics, NegotiatesOpenMetricsByQValue) {
  // What Prometheus 2 sends.
  EXPECT_TRUE(wantsopenmetrics(
      "application/openmetrics-text;version=1.0.0,application/"
      "openmetrics-text;version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,"
      "*/*;q=0.1"));
  EXPECT_TRUE(wantsopenmetrics("Application/OpenMetrics-Text"));
  EXPECT_FALSE(wantsopenmetrics(nullptr));
  EXPECT_FALSE(wantsopenmetrics("*/*"));
  EXPECT_FALSE(wantsopenmetrics("text/plain;version=0.0.4"));
  EXPECT_FALSE(wantsopenmetrics("application/openmetrics-text;q=0"));
  EXPECT_FALSE(wantsopenmetrics(
      "text/plain;q=0.5, application/openmetrics-text; q=0.3"));
}

}  // namespace

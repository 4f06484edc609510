#include <gtest/gtest.h>
#include <math.h>

#include <string>

#include "model/transport.h"
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
  n.reportreading("CPU Temp", 45.5);
  n.dead = true;  // only a reading may revive the node
  n.lastupdate = 5;

  testing::internal::CaptureStderr();
  n.reportreading("CPU Temp", INFINITY);
  n.reportreading("CPU Temp", -INFINITY);
  n.reportreading("CPU Temp", NAN);
  n.reportreading("12V", NAN);  // another sensor is said on its own
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Sensor CPU Temp on node01 gave no finite reading\n"
            "Sensor 12V on node01 gave no finite reading\n");
  EXPECT_EQ(n.temp[0], 45.5);
  EXPECT_EQ(n.volt[0], 0.0);
  EXPECT_TRUE(n.isdead());
  EXPECT_EQ(n.lastupdate, 5);
  EXPECT_EQ(pipetemps(n), "$$TEMP 4550 0");

  testing::internal::CaptureStderr();
  n.reportreading("CPU Temp", 46.0);
  n.reportreading("CPU Temp", INFINITY);
  // Nor does it count among the zeros that are believed on the third.
  n.reportreading("FAN1", 3000.0);
  n.reportreading("FAN1", 0.0);
  n.reportreading("FAN1", NAN);
  n.reportreading("FAN1", 0.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Sensor CPU Temp on node01 gave no finite reading\n"
            "Sensor FAN1 on node01 gave no finite reading\n");
  EXPECT_EQ(n.temp[0], 46.0);
  EXPECT_EQ(n.fan[0], 3000.0);
}

// Counts the power queries the model sends; every one is handed on.
class countingtransport : public transport {
 public:
  bool poll(node*) override { return false; }
  bool command(node*, int code) override {
    if (code == STATUS) queries++;
    return true;
  }
  const char* name() const override { return "counting"; }
  int queries = 0;
};

using TransportReports = NodeFixture;

TEST_F(TransportReports, PowerAnswersSetLivenessSettlingAndReadings) {
  n.reportreading("FAN1", 5000.0);
  n.firsttime = clockvalue - 500;
  n.pwr_statuswaiting = 3;
  n.reportpower(true);  // was off: the settling time starts afresh
  EXPECT_TRUE(n.ispowered());
  EXPECT_FALSE(n.isdead());
  EXPECT_EQ(n.firsttime, clockvalue);
  EXPECT_EQ(n.pwr_statuswaiting, 0);
  clockvalue += 10;
  n.reportpower(true);  // still on: it runs on
  EXPECT_EQ(n.firsttime, clockvalue - 10);

  n.reportpower(false);
  EXPECT_FALSE(n.ispowered());
  EXPECT_FALSE(n.isdead());  // a powered-off node is alive
  EXPECT_EQ(n.fan[0], 0.0);
  EXPECT_EQ(n.firsttime, 0);
  EXPECT_EQ(n.lastreading, 0);  // no staleness while off

  n.reportpower(true);
  n.reportreading("FAN1", 5000.0);
  n.pwr_statuswaiting = 2;
  n.reportpowerunknown();
  EXPECT_TRUE(n.isdead());
  EXPECT_FALSE(n.ispowered());
  EXPECT_EQ(n.fan[0], 0.0);
  EXPECT_EQ(n.firsttime, 0);
  EXPECT_EQ(n.pwr_statuswaiting, 0);

  // A refused or unanswered request: dead, the rest stands until the BMC
  // says otherwise.
  n.reportpower(true);
  n.reportreading("FAN1", 5000.0);
  n.reportunreachable();
  EXPECT_TRUE(n.isdead());
  EXPECT_TRUE(n.ispowered());
  EXPECT_EQ(n.fan[0], 5000.0);
}

TEST_F(TransportReports, OnePowerQueryIsOutstandingUntilAnsweredOrLost) {
  countingtransport t;
  n.link = &t;
  n.querypower();
  n.querypower();
  EXPECT_EQ(t.queries, 1);
  n.reportpower(true);
  n.querypower();
  EXPECT_EQ(t.queries, 2);
  // A query dropped unanswered holds the next back only so long, and the
  // age the limit check counts goes on.
  n.pwr_statuswaiting = 3;
  clockvalue += POWERQUERYLOST - 1;
  n.querypower();
  EXPECT_EQ(t.queries, 2);
  clockvalue += 1;
  n.querypower();
  EXPECT_EQ(t.queries, 3);
  EXPECT_EQ(n.pwr_statuswaiting, 3);
  n.link = &ipmi;
}

TEST_F(TransportReports, APowerCommandHandedOnStopsTheSettlingTime) {
  countingtransport t;
  n.link = &t;
  n.reportpower(true);
  EXPECT_TRUE(n.command(RESET));
  EXPECT_EQ(n.firsttime, 0);
  n.link = &ipmi;  // no BMC: the command cannot go out and changes nothing
  n.initfirsttime();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(n.command(POWEROFF));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(n.firsttime, clockvalue);
}

}  // namespace

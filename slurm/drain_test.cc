#include "slurm/drain.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "model/datastructs.h"
#include "slurm/child.h"

namespace {

constexpr time_t NOW = 1700000000;

// A node past its settling time, powered and answering, every reading
// within its chassis's limits.
class Healthy : public ::testing::Test {
 protected:
  void SetUp() override {
    c.numfans = c.numtemps = c.numvolts = c.numdiscs = 1;
    const double fan[4] = {300, 500, 9000, 10000};
    const double temp[4] = {5, 10, 80, 90};
    const double volt[4] = {11, 11.4, 12.6, 13};
    for (int l = 0; l < NUMLIMITS; l++) {
      c.fanlimit[0][l] = fan[l];
      c.templimit[0][l] = temp[l];
      c.voltlimit[0][l] = volt[l];
    }
    n.thischassis = &c;
    n.power = true;
    n.dead = false;
    n.firsttime = NOW - SETTLETIME;
    n.fan[0] = 4000;
    n.temp[0] = 40;
    n.volt[0] = 12;
    n.disc[0] = IPMI_DISC_HEALTHY;
  }
  chassis c;
  node n;
};

TEST_F(Healthy, EveryReadingWithinAndTheNodeWatched) {
  EXPECT_TRUE(nodehealthy(&n, NOW));
  n.temp[0] = 1;  // too cold is harmless, as for the alerts
  n.disc[0] = IPMI_DISC_WARN;  // only the critical state counts
  EXPECT_TRUE(nodehealthy(&n, NOW));

  n.temp[0] = 85;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.temp[0] = 40;
  n.fan[0] = 450;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.fan[0] = 4000;
  n.volt[0] = 13.5;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.volt[0] = 12;
  n.disc[0] = IPMI_DISC_CRIT;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.disc[0] = IPMI_DISC_HEALTHY;

  // A node that cannot be seen is not known healthy: off, its BMC silent,
  // shutting down, or settling (its readings are not compared yet).
  n.power = false;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.power = true;
  n.dead = true;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.dead = false;
  n.inShutdown = true;
  EXPECT_FALSE(nodehealthy(&n, NOW));
  n.inShutdown = false;
  EXPECT_FALSE(nodehealthy(&n, NOW - 1));
  n.firsttime = 0;
  EXPECT_FALSE(nodehealthy(&n, NOW));
}

TEST(ResumeRule, HealthyWithoutABreakForTheWholeTime) {
  EXPECT_FALSE(resumedue(NOW - 599, NOW, 600));
  EXPECT_TRUE(resumedue(NOW - 600, NOW, 600));
  EXPECT_FALSE(resumedue(0, NOW, 600));       // not healthy now
  EXPECT_FALSE(resumedue(NOW - 9999, NOW, 0));  // 0: never
}

// Runs a child to its end, the clock at `now` throughout.
void finish(childrun& run, time_t now) {
  for (int i = 0; i < 500 && !run.poll(now); i++) usleep(10000);
}

TEST(ChildRun, CapturesOutputBoundsTimeAndSaysWhy) {
  childrun ok;
  ASSERT_TRUE(ok.start({"/bin/sh", "-c", "echo out; echo err >&2"}, NOW + 30));
  finish(ok, NOW);
  EXPECT_TRUE(ok.over());
  EXPECT_TRUE(ok.succeeded());
  EXPECT_EQ(ok.output, "out\nerr\n");

  childrun fails;
  ASSERT_TRUE(fails.start({"/bin/sh", "-c", "echo no; exit 3"}, NOW + 30));
  finish(fails, NOW);
  EXPECT_FALSE(fails.succeeded());
  EXPECT_EQ(fails.failure(), "exit status 3");

  // Past its time it is killed, and reaped on a later look.
  childrun hangs;
  ASSERT_TRUE(hangs.start({"/bin/sleep", "60"}, NOW + 30));
  EXPECT_FALSE(hangs.poll(NOW + 30));
  finish(hangs, NOW + 30);
  EXPECT_TRUE(hangs.over());
  EXPECT_TRUE(hangs.timedout);
  EXPECT_EQ(hangs.failure(), "killed after the time limit");

  childrun missing;
  EXPECT_FALSE(missing.start({"/nonexistent/scontrol", "show"}, NOW + 30));
  EXPECT_TRUE(missing.over());
  EXPECT_FALSE(missing.succeeded());
  EXPECT_EQ(missing.failure(), "No such file or directory");
}

}  // namespace

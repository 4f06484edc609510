#include "slurm/scontrol.h"

#include <gtest/gtest.h>

#include "model/datastructs.h"

namespace {

// `scontrol show node` of Slurm 22.05, cut to the lines that matter, with a
// second record after it.
std::string record(const std::string& state, const std::string& reason) {
  std::string text =
      "NodeName=node01 CoresPerSocket=1 \n"
      "   CPUAlloc=0 CPUEfctv=1 CPUTot=1 CPULoad=N/A\n"
      "   State=" + state + " ThreadsPerCore=1 TmpDisk=0 Weight=1 Owner=N/A\n"
      "   Partitions=test \n";
  if (!reason.empty()) text += "   Reason=" + reason + "\n";
  return text +
         "\nNodeName=node02 CoresPerSocket=1 \n"
         "   State=DOWN+DRAIN ThreadsPerCore=1\n"
         "   Reason=elsewhere [root@2026-12-09T04:00:56]\n\n";
}

TEST(ShowNode, ReadsStateFlagsAndReason) {
  shownode r;
  ASSERT_TRUE(parseshownode(record("IDLE+NOT_RESPONDING", ""), "node01", &r));
  EXPECT_EQ(r.state, "IDLE+NOT_RESPONDING");
  EXPECT_FALSE(r.drained);
  EXPECT_FALSE(r.down);
  EXPECT_EQ(r.reason, "");

  // Slurm's stamp goes; "State=" inside a reason is text, not the state.
  ASSERT_TRUE(parseshownode(
      record("IDLE+DRAIN+NOT_RESPONDING",
             "kestrel: FAN1 State=odd [root@2026-12-09T04:00:56]"),
      "node01", &r));
  EXPECT_EQ(r.state, "IDLE+DRAIN+NOT_RESPONDING");
  EXPECT_TRUE(r.drained);
  EXPECT_FALSE(r.down);
  EXPECT_EQ(r.reason, "kestrel: FAN1 State=odd");
  EXPECT_TRUE(r.kestrels());

  ASSERT_TRUE(parseshownode(record("DOWN*", "replaced PSU [root@x]"),
                            "node01", &r));
  EXPECT_TRUE(r.down);
  EXPECT_FALSE(r.drained);
  // Slurm's own DOWN for a silent slurmd is drained like NOT_RESPONDING.
  ASSERT_TRUE(parseshownode(
      record("DOWN+NOT_RESPONDING", "Not responding [slurm@x]"), "node01", &r));
  EXPECT_FALSE(r.down);
  EXPECT_FALSE(r.drained);
  EXPECT_FALSE(r.kestrels());
  ASSERT_TRUE(parseshownode(record("MIXED+DRAIN+FAIL", "kestrelish"),
                            "node01", &r));
  EXPECT_TRUE(r.drained && r.down);
  EXPECT_FALSE(r.kestrels());  // the prefix is "kestrel:", colon included

  // The record of the node asked for, not the first.
  ASSERT_TRUE(parseshownode(record("IDLE", ""), "node02", &r));
  EXPECT_EQ(r.state, "DOWN+DRAIN");
  EXPECT_EQ(r.reason, "elsewhere");
  EXPECT_FALSE(parseshownode(record("IDLE", ""), "node03", &r));
  EXPECT_FALSE(parseshownode("Node node01 not found\n", "node01", &r));
}

TEST(DrainReason, NamesSensorValueAndLimitOnOneLine) {
  chassis c;
  c.fanname[0] = const_cast<char*>("FAN1");
  c.tempname[0] = const_cast<char*>("CPU Temp");
  c.discname[0] = const_cast<char*>("PSU1\nStatus");
  c.numfans = c.numtemps = c.numdiscs = 1;
  node n(&c);
  const double temp[4] = {5, 10, 80, 90};
  const double fan[4] = {300, 500, 9000, 10000};
  EXPECT_EQ(drainreason(&n, TEMP, 0, 95, temp),
            "kestrel: CPU Temp 95.00 C above critical high 90.00 C");
  EXPECT_EQ(drainreason(&n, TEMP, 0, 85, temp),
            "kestrel: CPU Temp 85.00 C above warning high 80.00 C");
  EXPECT_EQ(drainreason(&n, FAN, 0, 450, fan),
            "kestrel: FAN1 450.00 rpm below warning low 500.00 rpm");
  n.fanunit[0] = UNIT_PERCENT;
  EXPECT_EQ(drainreason(&n, FAN, 0, 2, fan),
            "kestrel: FAN1 2.00 % below critical low 300.00 %");
  EXPECT_EQ(drainreason(&n, DISC, 0, IPMI_DISC_CRIT, temp),
            "kestrel: PSU1 Status critical");
  EXPECT_EQ(hardwarereason("Hardware event on node01 at 2026-12-09 04:00:56: "
                           "PSU1: Power Supply failure detected, asserted\n"),
            "kestrel: hardware event: PSU1: Power Supply failure detected, "
            "asserted");
  EXPECT_EQ(hardwarereason(std::string(300, 'x').c_str()).size(), REASONLEN);
  // No shell: the reason travels as one argument.
  EXPECT_EQ(drainargs("/usr/bin/scontrol", "node01", "kestrel: a b"),
            (std::vector<std::string>{"/usr/bin/scontrol", "update",
                                      "NodeName=node01", "State=DRAIN",
                                      "Reason=kestrel: a b"}));
}

}  // namespace

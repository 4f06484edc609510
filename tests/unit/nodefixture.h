// A node of a small IPMI chassis on the test clock, for unit tests of the
// per-node operations. useopenbmc() moves it onto the OpenBMC transport.
#ifndef KESTREL_TESTS_UNIT_NODEFIXTURE_H_
#define KESTREL_TESTS_UNIT_NODEFIXTURE_H_

#include <gtest/gtest.h>

#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "openbmc/openbmc.h"
#include "tests/unit/testclock.h"

class NodeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    clockvalue = 100000;
    settestclock(testclock::fixedclock);
    savednodaemon = nodaemon;
    nodaemon = 1;
    // Fan "FAN1"; voltages "12V", "Shared"; temperatures "CPU Temp",
    // "Shared"; discretes "PSU1 Status", "CMOS Battery".
    static char fan1[] = "FAN1", v12[] = "12V", shared[] = "Shared",
                cpu[] = "CPU Temp", psu[] = "PSU1 Status",
                bat[] = "CMOS Battery";
    c.fanname[0] = fan1;
    c.numfans = 1;
    c.voltname[0] = v12;
    c.voltname[1] = shared;
    c.numvolts = 2;
    c.tempname[0] = cpu;
    c.tempname[1] = shared;
    c.numtemps = 2;
    c.discname[0] = psu;
    c.discname[1] = bat;
    c.numdiscs = 2;
    n.thischassis = &c;
    n.link = &ipmi;
    static char nodename[] = "node01";
    n.name = nodename;
  }
  void TearDown() override {
    settestclock(nullptr);
    nodaemon = savednodaemon;
  }
  void useopenbmc() {
    c.transportkind = TRANSPORT_OPENBMC;
    n.link = &openbmc;
  }

  std::atomic<time_t>& clockvalue = testclock::fixed;
  chassis c;
  node n;
  ipmi_link ipmi{&n};
  openbmc_link openbmc{&n};
  int savednodaemon = 0;
};

#endif  // KESTREL_TESTS_UNIT_NODEFIXTURE_H_

// A node of a small IPMI chassis and a clock the test sets, for unit tests
// of the per-node operations.
#ifndef KESTREL_TESTS_UNIT_NODEFIXTURE_H_
#define KESTREL_TESTS_UNIT_NODEFIXTURE_H_

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "model/datastructs.h"

class NodeFixture : public ::testing::Test {
 protected:
  static time_t clockvalue;
  static time_t testclock() { return clockvalue; }

  void SetUp() override {
    clockvalue = 100000;
    settestclock(testclock);
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
    static char nodename[] = "node01";
    n.name = nodename;
  }
  void TearDown() override {
    settestclock(nullptr);
    nodaemon = savednodaemon;
  }

  chassis c;
  node n;
  int savednodaemon = 0;
};

#endif  // KESTREL_TESTS_UNIT_NODEFIXTURE_H_

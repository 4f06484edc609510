// A fixture for tests of the alert list and the alert e-mail: a fixed test
// clock, a chassis with named sensors, two nodes, and an e-mail whose server
// refuses connections, so that a sender started by a test ends at once.
#ifndef KESTREL_TESTS_UNIT_ALERTFIXTURE_H_
#define KESTREL_TESTS_UNIT_ALERTFIXTURE_H_

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "alerts/alerts.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "tests/unit/testclock.h"
#include "tests/unit/testnet.h"

class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    curl_global_init(CURL_GLOBAL_ALL);
    // Messages go to stderr as well, where tests capture them. Set before
    // any thread starts: the message functions read it unguarded.
    savedmode = nodaemon;
    nodaemon = 1;
    settestclock(testclock::fixedclock);
    testclock::fixed = 1700000000;
    waitsenders();
    clearalerts();
    globalreporttime = 0;
    snprintf(server, sizeof server, "127.0.0.1:%d", testnet::closedport());
    pendingalerts.setupemail("ops@example.org", "kestrel@example.org", server);
    pendingalerts.myemail.clear();
    pendingalerts.myemail.threadstatus = ALERT_STATUS_IDLE;
    pendingalerts.myemail.current.reset();
    mycluster.processshutdowns = false;
    connectalerts();

    def.fanname[0] = const_cast<char*>("FAN1");
    def.fanname[1] = const_cast<char*>("FAN2");
    def.tempname[0] = const_cast<char*>("CPU Temp");
    def.voltname[0] = const_cast<char*>("12V");
    def.discname[0] = const_cast<char*>("PS1 Status");
    def.discname[1] = const_cast<char*>("CMOS Battery");
    def.numfans = 2;
    def.numtemps = 1;
    def.numvolts = 1;
    def.numdiscs = 2;
    setlimits(def.fanlimit[0], 300, 500, 9000, 10000);
    setlimits(def.fanlimit[1], 300, 500, 9000, 10000);
    setlimits(def.templimit[0], 5, 10, 80, 90);
    setlimits(def.voltlimit[0], 11.0, 11.4, 12.6, 13.0);
    def.disccrit[0] = true;
    def.disccrit[1] = false;
    n1.thischassis = n2.thischassis = &def;
    n1.name = const_cast<char*>("node01");
    n2.name = const_cast<char*>("node02");
  }

  void TearDown() override {
    waitsenders();
    clearalerts();
    settestclock(nullptr);
    nodaemon = savedmode;
  }

  static void setlimits(double* row, double cl, double al, double ah,
                        double ch) {
    row[CRITLOW] = cl;
    row[ALERTLOW] = al;
    row[ALERTHIGH] = ah;
    row[CRITHIGH] = ch;
  }

  // Waits until the sender started last has ended.
  static bool waitsenders(int ms = 10000) {
    std::shared_ptr<outgoingmail> job = pendingalerts.myemail.current;
    for (int i = 0; job && !job->finished && i < ms / 10; i++) usleep(10000);
    return !job || job->finished;
  }

  static void clearalerts() {
    holding<flaglock> hold(alertlock);
    pendingalerts.myalerts.clear();
  }

  static size_t alertcount() {
    holding<flaglock> hold(alertlock);
    return pendingalerts.myalerts.size();
  }

  static bool hasalerts(node* n) {
    holding<flaglock> hold(alertlock);
    bool any = false;
    for (const alert& a : pendingalerts.myalerts) any = any || a.matches(n);
    return any;
  }

  // Lets the automatic shutdown of `n` run to its end under a fast clock,
  // so that its threads do not outlive the test, and drops its power-off.
  // The enforcing thread's last use of the list is removing the node's
  // alerts: a marker alert shows when that is done.
  static bool finishshutdown(node* n) {
    static const double limits[4] = {0, 0, 0, 0};
    pendingalerts.add(DISC, n, 0, 1, limits);
    time_t now = testclock::fixed;
    testclock::startfast(200);
    settestclock(testclock::fastclock);
    for (int i = 0; i < 500 && (n->inShutdown || hasalerts(n)); i++)
      usleep(10000);
    settestclock(testclock::fixedclock);
    testclock::fixed = now;
    holding<lockable> hold(mycluster.poweroffLock);
    mycluster.poweroffQueue.clear();
    return !n->inShutdown;
  }

  // A limit-check pass finds the sensor out of limits `passes` times, 6 s
  // apart; the clock ends at the last pass.
  void seen(node* n, int type, int index, double value, int passes) {
    for (int i = 0; i < passes; i++) {
      if (i) testclock::advance(6);
      if (type == DISC)
        pendingalerts.add(DISC, n, index, value);
      else
        pendingalerts.add(type, n, index, value, limitsof(type, index));
    }
  }

  const double* limitsof(int type, int index) {
    return type == FAN    ? def.fanlimit[index]
           : type == TEMP ? def.templimit[index]
                          : def.voltlimit[index];
  }

  const alert* find(node* n, int type, int index) NO_THREAD_SAFETY_ANALYSIS {
    for (const alert& a : pendingalerts.myalerts)
      if (a.matches(type, n, index)) return &a;
    return nullptr;
  }

  std::string body() { return pendingalerts.myemail.body; }

  int savedmode = 0;
  char server[64];
  chassis def;
  node n1{&def};
  node n2{&def};
};

#endif  // KESTREL_TESTS_UNIT_ALERTFIXTURE_H_

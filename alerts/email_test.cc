#include "alerts/email.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "model/shutdown.h"
#include "tests/unit/alertfixture.h"

namespace {

using Email = AlertTest;

alert ripe(node* n, int type, int index, double value, const double* limits) {
  alert a(type, n, index, value, limits);
  a.occurances = 6;
  return a;
}

// Reports an alert as the alert pass does, into the e-mail being written.
void report(alert a) {
  holding<flaglock> hold(alertlock);
  bool added = true;
  pendingalerts.report(a, &added, nowtime());
}

const char FANCRITLOW[] =
    "Critical low alert generated for node %s:\n"
    "  Fan[1] FAN1 reading 250.00\n"
    "  Configured limits for this sensor are:\n"
    "      crit low: 300.00\n     alert low: 500.00\n"
    "    alert high: 9000.00\n     crit high: 10000.00\n";

std::string fancritlow(const char* name) {
  char text[1024];
  snprintf(text, sizeof text, FANCRITLOW, name);
  return text;
}

TEST_F(Email, CriticalFanWithShutdownsPowersTheNodeOff) {
  // A node of its own in the cluster table, whose shutdown stays pending:
  // the fixed clock never lets its enforcing thread move on.
  node& cooking = mycluster.mynodes[MAXNODES - 1];
  cooking.thischassis = &def;
  cooking.name = const_cast<char*>("cooking01");
  int saved = mycluster.numnodes;
  mycluster.numnodes = MAXNODES;
  sshpath = "/nonexistent/ssh";
  mycluster.processshutdowns = true;

  report(ripe(&cooking, FAN, 0, 250, def.fanlimit[0]));
  EXPECT_EQ(body(), fancritlow("cooking01") +
                        "  As this is a critical value, the node is being "
                        "powered off now.\n\n");
  EXPECT_TRUE(cooking.inShutdown);

  // A second critical alert of the node starts no second shutdown.
  testing::internal::CaptureStderr();
  report(ripe(&cooking, VOLT, 0, 14, def.voltlimit[0]));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("being shutdown automatically"), std::string::npos);
  EXPECT_TRUE(finishshutdown(&cooking));
  mycluster.numnodes = saved;
}

TEST_F(Email, CriticalWithShutdownsDisabledPowersNothingOff) {
  report(ripe(&n1, FAN, 0, 250, def.fanlimit[0]));
  EXPECT_EQ(body(), fancritlow("node01") +
                        "  This is a critical value and would trigger an "
                        "automatic poweroff of the node. However, this "
                        "feature is disabled.\n\n");
  EXPECT_FALSE(n1.inShutdown);
}

TEST_F(Email, WarningsSayNoShutdownIsOccuring) {
  report(ripe(&n1, VOLT, 0, 12.75, def.voltlimit[0]));
  report(ripe(&n2, TEMP, 0, 7.5, def.templimit[0]));
  EXPECT_EQ(body(),
            "Warning high alert generated for node node01:\n"
            "  Voltage[1] 12V reading 12.75\n"
            "  Configured limits for this sensor are:\n"
            "      crit low: 11.00\n     alert low: 11.40\n"
            "    alert high: 12.60\n     crit high: 13.00\n"
            "  This is just a warning.  No automatic shutdowns are occuring "
            "for this event.\n\n"
            "Warning low alert generated for node node02:\n"
            "  Temperature[1] CPU Temp reading 7.50\n"
            "  Configured limits for this sensor are:\n"
            "      crit low: 5.00\n     alert low: 10.00\n"
            "    alert high: 80.00\n     crit high: 90.00\n"
            "  This is just a warning.  No automatic shutdowns are occuring "
            "for this event.\n\n");
  EXPECT_STREQ(pendingalerts.myemail.subject,
               "Automatic alert from your Varnholt Cluster");
}

TEST_F(Email, DiscreteEntries) {
  node& cooking = mycluster.mynodes[MAXNODES - 2];
  cooking.thischassis = &def;
  cooking.name = const_cast<char*>("cooking02");
  int saved = mycluster.numnodes;
  mycluster.numnodes = MAXNODES;
  sshpath = "/nonexistent/ssh";

  static const double zero[4] = {0, 0, 0, 0};
  // Critical on a sensor not marked critical: the line alone.
  report(ripe(&n1, DISC, 1, IPMI_DISC_CRIT, zero));
  EXPECT_EQ(body(),
            "Discrete sensor CMOS Battery on node01 is in state: CRITICAL\n");
  EXPECT_FALSE(n1.inShutdown);
  // Warning on a sensor marked critical: no power-off either.
  pendingalerts.myemail.clear();
  report(ripe(&cooking, DISC, 0, IPMI_DISC_WARN, zero));
  EXPECT_EQ(body(),
            "Discrete sensor PS1 Status on cooking02 is in state: WARNING\n");
  EXPECT_FALSE(cooking.inShutdown);
  // Critical on a marked sensor powers off, shutdowns disabled or not.
  pendingalerts.myemail.clear();
  report(ripe(&cooking, DISC, 0, IPMI_DISC_CRIT, zero));
  EXPECT_EQ(body(),
            "Discrete sensor PS1 Status on cooking02 is in state: CRITICAL\n"
            "This sensor is marked as critical in the chassis definition. The "
            "node is being powered off now.\n\n");
  EXPECT_TRUE(cooking.inShutdown);
  EXPECT_TRUE(finishshutdown(&cooking));
  mycluster.numnodes = saved;
}

// The Slurm link's hook as the e-mail sees it: drains all it is told of.
int draincalls = 0;
int drainall(node*, int kind, int index, double value, const double* limits) {
  draincalls++;
  EXPECT_EQ(kind == FAN ? 250.0 : double(IPMI_DISC_CRIT), value);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(kind == FAN ? 300.0 : 0.0, limits[CRITLOW]);
  return kind == FAN ? DRAIN_STARTED : DRAIN_ALREADY;
}

TEST_F(Email, TheDrainIsSaidAheadOfThePowerOff) {
  node& cooking = mycluster.mynodes[MAXNODES - 2];
  cooking.thischassis = &def;
  cooking.name = const_cast<char*>("cooking03");
  int saved = mycluster.numnodes;
  mycluster.numnodes = MAXNODES;
  sshpath = "/nonexistent/ssh";
  drainhook = {drainall, nullptr};
  report(ripe(&n1, FAN, 0, 250, def.fanlimit[0]));
  EXPECT_EQ(body(), fancritlow("node01") +
                        "  The node is being drained in Slurm: no new jobs "
                        "start on it.\n"
                        "  This is a critical value and would trigger an "
                        "automatic poweroff of the node. However, this "
                        "feature is disabled.\n\n");
  pendingalerts.myemail.clear();
  static const double zero[4] = {0, 0, 0, 0};
  report(ripe(&cooking, DISC, 0, IPMI_DISC_CRIT, zero));
  drainhook = {nullptr, nullptr};
  EXPECT_EQ(body(),
            "Discrete sensor PS1 Status on cooking03 is in state: CRITICAL\n"
            "The node is drained in Slurm: no new jobs start on it.\n"
            "This sensor is marked as critical in the chassis definition. The "
            "node is being powered off now.\n\n");
  EXPECT_EQ(draincalls, 2);
  EXPECT_TRUE(finishshutdown(&cooking));
  mycluster.numnodes = saved;
}

TEST_F(Email, AnEntryThatDoesNotFitIsLoggedAndDropped) {
  email& mail = pendingalerts.myemail;
  alert warn = ripe(&n1, VOLT, 0, 12.75, def.voltlimit[0]);
  char entry[EMAILENTRYLEN];
  size_t len = formatalert(warn, false, entry, sizeof entry);
  // Fill the body so that the entry would bring it to exactly 262144.
  size_t fill = EMAILBODYLEN - len;
  memset(mail.body, 'x', fill);
  mail.bodyindex = mail.body + fill;

  testing::internal::CaptureStderr();
  EXPECT_FALSE(mail.add(warn, false));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, std::string("Alert email buffer full!  Cannot append this "
                             "message:\n") +
                     entry);
  EXPECT_EQ(mail.bodyindex, mail.body + fill);
  EXPECT_EQ(mail.body[fill], '\0');

  // One character shorter fits, up to the last usable character.
  mail.body[fill - 1] = '\0';
  mail.bodyindex--;
  EXPECT_TRUE(mail.add(warn, false));
  EXPECT_EQ(strlen(mail.body), EMAILBODYLEN - 1);
  EXPECT_EQ(mail.bodyindex, mail.body + EMAILBODYLEN - 1);
}

TEST_F(Email, TheTestLineIsAppendedOnlyWhereItFits) {
  email& mail = pendingalerts.myemail;
  mail.add(ripe(&n1, VOLT, 0, 12.75, def.voltlimit[0]), false);
  std::string alerttext = body();
  EXPECT_TRUE(mail.addtest());
  EXPECT_EQ(body(),
            alerttext + "This is a test email to verify alert functionality\n");
  EXPECT_STREQ(mail.subject,
               "Test: Automatic alert from your Varnholt Cluster");
  mail.add(ripe(&n1, VOLT, 0, 12.75, def.voltlimit[0]), false);
  EXPECT_STREQ(mail.subject, "Automatic alert from your Varnholt Cluster");

  size_t fill = EMAILBODYLEN - 51;  // the line would end at 262144
  memset(mail.body, 'x', fill);
  mail.body[fill] = '\0';
  mail.bodyindex = mail.body + fill;
  EXPECT_FALSE(mail.addtest());
  EXPECT_EQ(strlen(mail.body), fill);
  mail.bodyindex--;
  mail.body[fill - 1] = '\0';
  EXPECT_TRUE(mail.addtest());
  EXPECT_EQ(strlen(mail.body), EMAILBODYLEN - 1);
}

TEST(Recipients, EveryCommaEndsOneAndBlanksNeverReachTheServer) {
  using v = std::vector<std::string>;
  EXPECT_EQ(splitrecipients("a@x.org"), v({"a@x.org"}));
  EXPECT_EQ(splitrecipients("a@x.org,b@x.org, c@x.org"),
            v({"a@x.org", "b@x.org", "c@x.org"}));
  EXPECT_EQ(splitrecipients("a@x.org,,b@x.org, ,"), v({"a@x.org", "b@x.org"}));
  EXPECT_EQ(splitrecipients(" \ta@x.org \t"), v({"a@x.org"}));
  EXPECT_TRUE(splitrecipients("").empty());
  EXPECT_EQ(splitrecipients(std::string(600, 'a'))[0].size(), 511u);
}

TEST_F(Email, ATestRequestWithoutEmailSetUpIsRefused) {
  alerts unconfigured;
  testing::internal::CaptureStderr();
  unconfigured.testemail();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("not configured"), std::string::npos);
  EXPECT_EQ(unconfigured.myemail.current, nullptr);
  EXPECT_EQ(unconfigured.myemail.threadstatus, ALERT_STATUS_IDLE);
}

TEST_F(Email, AFailedTransferLogsTheBodyAndSetsError) {
  seen(&n1, VOLT, 0, 12.75, 7);
  testing::internal::CaptureStderr();
  pendingalerts.process();
  EXPECT_NE(pendingalerts.myemail.threadstatus, ALERT_STATUS_IDLE);
  ASSERT_TRUE(waitsenders());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pendingalerts.myemail.threadstatus, ALERT_STATUS_ERROR);
  // (Shutdown threads of earlier tests may log around it.)
  EXPECT_NE(log.find("Failed to send alert email:\n" + body()),
            std::string::npos)
      << log;
}

TEST_F(Email, ANewEmailMakesTheUnfinishedSenderGiveWay) {
  testnet::silentserver silent;
  snprintf(server, sizeof server, "127.0.0.1:%d", silent.port());
  snprintf(pendingalerts.myemail.server, sizeof pendingalerts.myemail.server,
           "%s", server);
  testing::internal::CaptureStderr();

  pendingalerts.testemail();
  std::shared_ptr<outgoingmail> first = pendingalerts.myemail.current;
  for (int i = 0;
       i < 200 && pendingalerts.myemail.threadstatus != ALERT_STATUS_BUSY; i++)
    usleep(10000);
  EXPECT_EQ(pendingalerts.myemail.threadstatus, ALERT_STATUS_BUSY);
  pendingalerts.myemail.clear();  // the first sender keeps its own copy
  pendingalerts.testemail();
  std::shared_ptr<outgoingmail> second = pendingalerts.myemail.current;
  ASSERT_NE(first, second);
  EXPECT_EQ(first->body,
            "This is a test email to verify alert functionality\n");
  EXPECT_TRUE(first->cancelled);

  // The first gives way at its next progress check, well before the 4.5 s
  // time-out that still holds the second, and leaves the status alone.
  for (int i = 0; i < 300 && !first->finished; i++) usleep(10000);
  EXPECT_TRUE(first->finished);
  EXPECT_FALSE(second->finished);
  EXPECT_EQ(pendingalerts.myemail.threadstatus, ALERT_STATUS_BUSY);

  ASSERT_TRUE(waitsenders());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pendingalerts.myemail.threadstatus, ALERT_STATUS_ERROR);
  EXPECT_NE(
      log.find(
          "Last warning email did not complete sending before next mail was "
          "ready.  Terminated previous one and sending new.\n"
          "Failed to send alert email:\n"
          "This is a test email to verify alert functionality\n"),
      std::string::npos)
      << log;
}

}  // namespace

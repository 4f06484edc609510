#include "config/clusterfile.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "config/chassisfile.h"
#include "config/tls.h"
#include "daemon/transports.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "tests/unit/testfiles.h"

namespace {

class ClusterFile : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    savednodes = mycluster.numnodes;
    savedchassis = mycluster.numchassis;
    std::string p =
        dir.write("chassis.dat", "$CHASSISTYPE ipmi1u\n$$FANCOUNT 0\n\n");
    configerror err;
    ASSERT_TRUE(parsechassis(p.c_str(), &mycluster, &err));
    attachtransport = newtransport;
  }
  void TearDown() override {
    attachtransport = nullptr;
    mycluster.numnodes = savednodes;
    mycluster.numchassis = savedchassis;
    mycluster.processalerts = mycluster.processshutdowns = false;
    mycluster.emailto[0] = mycluster.emailfrom[0] = '\0';
    mycluster.emailserver[0] = '\0';
    mycluster.apachegid = 0;
    mycluster.slurmdrain = false;
    strcpy(mycluster.slurmscontrol, "/usr/bin/scontrol");
    mycluster.slurmresumeafter = 600;
  }
  bool load(const std::string& text, configerror* err = nullptr) {
    configerror ignored;
    std::string p = dir.write("cluster.dat", text);
    return parsecluster(p.c_str(), &mycluster, err ? err : &ignored);
  }
  // The file is refused with `status` and a message holding `message`.
  void expectfatal(const std::string& text, int status,
                   const std::string& message) {
    configerror err;
    EXPECT_FALSE(load(text, &err)) << message;
    EXPECT_EQ(err.status, status) << message;
    EXPECT_NE(err.text.find(message), std::string::npos)
        << err.text << " lacks " << message;
  }

  TempDir dir;
  int savednodes = 0;
  int savedchassis = 0;
};

TEST_F(ClusterFile, SwitchesTurnOnOnlyForYes) {
  load("$ENABLE_ALERTS no\n$ENABLE_SHUTDOWNS true\n");
  EXPECT_FALSE(mycluster.processalerts);
  EXPECT_FALSE(mycluster.processshutdowns);
  for (const char* yes : {"yes", "YES", "Yes", "yesterday"}) {
    mycluster.processalerts = false;
    load(std::string("$ENABLE_ALERTS ") + yes + "\n");
    EXPECT_TRUE(mycluster.processalerts) << yes;
  }
  load("$ENABLE_SHUTDOWNS yes\n$ENABLE_ALERTS no\n$ENABLE_SHUTDOWNS no\n");
  EXPECT_TRUE(mycluster.processalerts);  // never switched off again
  EXPECT_TRUE(mycluster.processshutdowns);
  EXPECT_EQ(mycluster.numnodes, 0);
}

TEST_F(ClusterFile, SlurmSettingsAreOffUntilGivenAndChecked) {
  load("$ENABLE_ALERTS yes\n");
  EXPECT_FALSE(mycluster.slurmdrain);
  EXPECT_STREQ(mycluster.slurmscontrol, "/usr/bin/scontrol");
  EXPECT_EQ(mycluster.slurmresumeafter, 600);
  ASSERT_TRUE(load("$SLURM_DRAIN yes\n$SLURM_SCONTROL /opt/slurm/bin/scontrol\n"
                   "$SLURM_RESUME_AFTER 0\n$SLURM_OTHER x\n"));
  EXPECT_TRUE(mycluster.slurmdrain);
  EXPECT_STREQ(mycluster.slurmscontrol, "/opt/slurm/bin/scontrol");
  EXPECT_EQ(mycluster.slurmresumeafter, 0);
  expectfatal("$SLURM_SCONTROL scontrol\n", 1, "needs an absolute path");
  for (const char* bad : {"-5", "10m", "", "99999999999"})
    expectfatal(std::string("$SLURM_RESUME_AFTER ") + bad + "\n", 1,
                "$SLURM_RESUME_AFTER takes whole seconds");
}

TEST_F(ClusterFile, ReadsTheSettings) {
  struct group* g = getgrnam("daemon");
  ASSERT_NE(g, nullptr);
  load(
      "! comment\n# comment\n $NODE skipped\n\n"
      "$EMAIL_TO \"Ops Team <ops@example.org>\" trailing\n"
      "$EMAIL_FROM kestrel@example.org\r\n"
      "$EMAIL_SERVER first.example.org\n$EMAIL_SERVER smtp.example.org\n"
      "$EMIAL_SERVER misspelt.example.org\n"
      "$APACHE_GROUP daemon\n"
      "$EMAIL_SERVER last-line-without-newline");
  EXPECT_STREQ(mycluster.emailto, "Ops Team <ops@example.org>");
  EXPECT_STREQ(mycluster.emailfrom, "kestrel@example.org\r");
  EXPECT_STREQ(mycluster.emailserver, "smtp.example.org");
  EXPECT_EQ(mycluster.apachegid, g->gr_gid);
  EXPECT_EQ(mycluster.numnodes, 0);
}

TEST_F(ClusterFile, FatalErrors) {
  expectfatal("$APACHE_GROUP no-such-group-here\n", 4,
              "Unable to locate apache group no-such-group-here.  Exiting.\n");
  expectfatal("$NODE n1 nosuch admin pw\n", 1,
              "Unable to locate chassis nosuch for node n1\nExiting now.\n");
  expectfatal("$NODE n1 ipmi1u admin\n", 1,
              "Error parsing this line in cluster.dat:\nn1 ipmi1u admin\n\n");
  expectfatal("$NODE n1  ipmi1u admin pw\n", 1,
              "Error parsing this line in cluster.dat:\n");
  expectfatal("$EMAIL_TO " + std::string(120, 'a') + "\n", 1,
              "Value too long (at most 119 characters)");
  configerror err;
  EXPECT_FALSE(parsecluster("/nonexistent/c.dat", &mycluster, &err));
  EXPECT_EQ(err.text,
            "Unable to open cluster configuration file: "
            "/nonexistent/c.dat\nExiting now.\n");
}

TEST_F(ClusterFile, PowerOnRateIsAWholeNumberInItsRange) {
  EXPECT_EQ(mycluster.poweronrate, DEFAULTPOWERONRATE);
  ASSERT_TRUE(load("$POWER_ON_RATE 25\n"));
  EXPECT_EQ(mycluster.poweronrate, 25);
  ASSERT_TRUE(load("$POWER_ON_RATE 1000\n"));
  EXPECT_EQ(mycluster.poweronrate, MAXPOWERONRATE);
  for (const char* bad : {"0", "-3", "ten", "10x", "", "1001"})
    expectfatal(std::string("$POWER_ON_RATE ") + bad + "\n", 1,
                std::string("Bad $POWER_ON_RATE ") + bad + " in cluster.dat");
  mycluster.poweronrate = DEFAULTPOWERONRATE;
}

TEST_F(ClusterFile, TlsCaIsFoundAnywhereAndMustBeReadable) {
  // Read ahead of every other line, wherever it stands.
  std::string ca = dir.write("ca.pem", "not checked here\n");
  load("$ENABLE_ALERTS no\n$TLS_CA " + ca + "\n");
  EXPECT_STREQ(tlscafile(), ca.c_str());
  expectfatal("$TLS_CA /nonexistent/ca.pem\n", 1,
              "Unable to read the TLS CA file /nonexistent/ca.pem named in "
              "cluster.dat.\nExiting now.\n");
  settlscafile("");
}

TEST_F(ClusterFile, IpmiNodeNamesMustFitTheDomainName) {
  // Refused by the transport before any connection is attempted; a node
  // that cannot be attached still ends start-up where its line is read.
  std::string name(IPMI_DOMAIN_NAME_LEN, 'n');
  EXPECT_EXIT(load("$NODE " + name + " ipmi1u admin pw\n"),
              ::testing::ExitedWithCode(1),
              literal("Node name " + name + " is too long for an IPMI node"));
}

TEST(ParseNode, SplitsFourFields) {
  char n[FIELDLEN], c[FIELDLEN], u[FIELDLEN], p[FIELDLEN];
  configerror err;
  char line1[] = "node01 typeA admin \"pass word\" extra text\n";
  ASSERT_TRUE(parsenode(n, c, u, p, line1, &err));
  EXPECT_STREQ(n, "node01");
  EXPECT_STREQ(c, "typeA");
  EXPECT_STREQ(u, "admin");
  EXPECT_STREQ(p, "pass word");
  char line2[] = "local typeA SMI\n";
  ASSERT_TRUE(parsenode(n, c, u, p, line2, &err));
  EXPECT_STREQ(u, "SMI");
  EXPECT_STREQ(p, "");
  char line3[] = "n typeA admin secret\r\n";
  ASSERT_TRUE(parsenode(n, c, u, p, line3, &err));
  EXPECT_STREQ(p, "secret\r");
  std::string longest = std::string(49, 'n') + " t u p\n";
  ASSERT_TRUE(
      parsenode(n, c, u, p, const_cast<char*>(longest.c_str()), &err));
  EXPECT_EQ(strlen(n), 49u);

  char smi[] = "local typeA smi\n";  // only "SMI" goes without a password
  EXPECT_FALSE(parsenode(n, c, u, p, smi, &err));
  EXPECT_EQ(err.text,
            "Error parsing this line in cluster.dat:\nlocal typeA smi\n\n");
  std::string toolong = std::string(50, 'n') + " t u p\n";
  EXPECT_FALSE(
      parsenode(n, c, u, p, const_cast<char*>(toolong.c_str()), &err));
  EXPECT_NE(err.text.find("Field too long (at most 49 characters)"),
            std::string::npos);
}

TEST(ParseEmail, TakesTheFirstField) {
  char setting[512];
  configerror err;
  char a[] = "\"a b\"c d\n";
  parseemail(setting, a, &err);
  EXPECT_STREQ(setting, "a bc");
  char b[] = " value\n";  // a second space gives an empty value
  parseemail(setting, b, &err);
  EXPECT_STREQ(setting, "");
  std::string longest(119, 'v');
  EXPECT_TRUE(parseemail(setting, const_cast<char*>(longest.c_str()), &err));
  EXPECT_EQ(std::string(setting), longest);
}

TEST(EmailSettings, ReportsEveryMissingSettingThenRefuses) {
  int saved = nodaemon;
  nodaemon = 1;  // messages on stderr as well
  configerror err;
  mycluster.emailto[0] = mycluster.emailfrom[0] = '\0';
  mycluster.emailserver[0] = '\0';
  testing::internal::CaptureStderr();
  EXPECT_FALSE(checkemailsettings(&mycluster, &err));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Did not read email to address in cluster config file\n"
            "Did not read email from address in cluster config file\n"
            "Did not read email server in cluster config file\n");
  EXPECT_EQ(err.status, 1);
  strcpy(mycluster.emailto, "a@b");
  strcpy(mycluster.emailfrom, "c@d");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(checkemailsettings(&mycluster, &err));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Did not read email server in cluster config file\n");
  strcpy(mycluster.emailserver, "smtp");
  EXPECT_TRUE(checkemailsettings(&mycluster, &err));
  mycluster.emailto[0] = mycluster.emailfrom[0] = mycluster.emailserver[0] = 0;
  nodaemon = saved;
}

}  // namespace

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
    parsechassis(p.c_str(), &mycluster);
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
  }
  void load(const std::string& text) {
    std::string p = dir.write("cluster.dat", text);
    parsecluster(p.c_str(), &mycluster);
  }
  void expectfatal(const std::string& text, int status,
                   const std::string& message) {
    EXPECT_EXIT(load(text), ::testing::ExitedWithCode(status),
                literal(message));
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
  EXPECT_EXIT(parsecluster("/nonexistent/c.dat", &mycluster),
              ::testing::ExitedWithCode(1),
              literal("Unable to open cluster configuration file: "
                      "/nonexistent/c.dat\nExiting now.\n"));
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
  // Refused before any connection is attempted.
  std::string name(IPMI_DOMAIN_NAME_LEN, 'n');
  expectfatal("$NODE " + name + " ipmi1u admin pw\n", 1,
              "Node name " + name + " is too long for an IPMI node");
}

TEST(ParseNode, SplitsFourFields) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char n[FIELDLEN], c[FIELDLEN], u[FIELDLEN], p[FIELDLEN];
  char line1[] = "node01 typeA admin \"pass word\" extra text\n";
  ASSERT_EQ(parsenode(n, c, u, p, line1), 1);
  EXPECT_STREQ(n, "node01");
  EXPECT_STREQ(c, "typeA");
  EXPECT_STREQ(u, "admin");
  EXPECT_STREQ(p, "pass word");
  char line2[] = "local typeA SMI\n";
  ASSERT_EQ(parsenode(n, c, u, p, line2), 1);
  EXPECT_STREQ(u, "SMI");
  EXPECT_STREQ(p, "");
  char line3[] = "n typeA admin secret\r\n";
  ASSERT_EQ(parsenode(n, c, u, p, line3), 1);
  EXPECT_STREQ(p, "secret\r");
  std::string longest = std::string(49, 'n') + " t u p\n";
  ASSERT_EQ(parsenode(n, c, u, p, const_cast<char*>(longest.c_str())), 1);
  EXPECT_EQ(strlen(n), 49u);

  char smi[] = "local typeA smi\n";  // only "SMI" goes without a password
  EXPECT_EXIT(parsenode(n, c, u, p, smi), ::testing::ExitedWithCode(1),
              literal("Error parsing this line in cluster.dat:\n"
                      "local typeA smi\n\n"));
  std::string toolong = std::string(50, 'n') + " t u p\n";
  EXPECT_EXIT(parsenode(n, c, u, p, const_cast<char*>(toolong.c_str())),
              ::testing::ExitedWithCode(1),
              "Field too long \\(at most 49 characters\\)");
}

TEST(ParseEmail, TakesTheFirstField) {
  char setting[512];
  char a[] = "\"a b\"c d\n";
  parseemail(setting, a);
  EXPECT_STREQ(setting, "a bc");
  char b[] = " value\n";  // a second space gives an empty value
  parseemail(setting, b);
  EXPECT_STREQ(setting, "");
  std::string longest(119, 'v');
  parseemail(setting, const_cast<char*>(longest.c_str()));
  EXPECT_EQ(std::string(setting), longest);
}

TEST(EmailSettings, ReportsEveryMissingSettingThenExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nodaemon = 1;
        mycluster.emailto[0] = mycluster.emailfrom[0] = '\0';
        mycluster.emailserver[0] = '\0';
        checkemailsettings(&mycluster);
      },
      ::testing::ExitedWithCode(1),
      literal("Did not read email to address in cluster config file\n"
              "Did not read email from address in cluster config file\n"
              "Did not read email server in cluster config file\n"));
  EXPECT_EXIT(
      {
        nodaemon = 1;
        strcpy(mycluster.emailto, "a@b");
        strcpy(mycluster.emailfrom, "c@d");
        mycluster.emailserver[0] = '\0';
        checkemailsettings(&mycluster);
      },
      ::testing::ExitedWithCode(1),
      "^Did not read email server in cluster config file\n$");
}

}  // namespace

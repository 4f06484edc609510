#include "output/autoconf.h"

#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "model/datastructs.h"
#include "model/globals.h"
#include "tests/unit/testfiles.h"

namespace {

char* s(const char* text) { return const_cast<char*>(text); }

void setlimits(double* row, double cl, double al, double ah, double ch) {
  row[CRITLOW] = cl;
  row[ALERTLOW] = al;
  row[ALERTHIGH] = ah;
  row[CRITHIGH] = ch;
}

const char kNode01[] =
    "$NODE 1 node01\n$$CHASSIS typeA\n$$USER admin\n$$PASSWORD secret\n"
    "$$SERIALCONSOLE\n$$FANLABELS FAN1 FAN2\n$$TEMPLABELS CPU\n"
    "$$VOLTLABELS 12V\n$$DISCLABELS PSU\n$$DISCCRIT 1\n"
    "$$VOLTALERTLO 1140\n$$VOLTALERTHI 1260\n$$VOLTSHUTDOWNLO 1080\n"
    "$$VOLTSHUTDOWNHI 1320\n$$TEMPALERTLO 0\n$$TEMPALERTHI 8000\n"
    "$$TEMPSHUTDOWNLO -500\n$$TEMPSHUTDOWNHI 9500\n"
    "$$FANALERTLO 1000 1000\n$$FANALERTHI 20000 20000\n"
    "$$FANSHUTDOWNLO 500 500\n$$FANSHUTDOWNHI 25000 25000\n";

class Summary : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    strcpy(a.name, "typeA");
    a.numfans = 2;
    a.numtemps = a.numvolts = a.numdiscs = 1;
    a.fanshortname[0] = s("FAN1");
    a.fanshortname[1] = s("FAN2");
    setlimits(a.fanlimit[0], 500, 1000, 20000, 25000);
    setlimits(a.fanlimit[1], 500, 1000, 20000, 25000);
    a.tempshortname[0] = s("CPU");
    setlimits(a.templimit[0], -5, 0, 80, 95);
    a.voltshortname[0] = s("12V");
    setlimits(a.voltlimit[0], 10.8, 11.4, 12.6, 13.2);
    a.discshortname[0] = s("PSU");
    a.disccrit[0] = true;

    strcpy(b.name, "typeB");
    b.transportkind = TRANSPORT_OPENBMC;
    b.numvolts = 1;
    b.voltshortname[0] = s("V");
    setlimits(b.voltlimit[0], 8.2, 1234.9, 0, 0);

    saved = mycluster.numnodes;
    savedgid = mycluster.apachegid;
    strcpy(savedpath, autonodeconfdat);
    snprintf(autonodeconfdat, sizeof autonodeconfdat, "%s/autonodeconf.dat",
             dir.path().c_str());
  }
  void TearDown() override {
    for (int i = 0; i < 4; i++) {
      node& n = mycluster.mynodes[i];
      n.name = n.username = n.password = nullptr;
      n.thischassis = nullptr;
    }
    mycluster.numnodes = saved;
    mycluster.apachegid = savedgid;
    strcpy(autonodeconfdat, savedpath);
  }
  void addnode(const char* name, chassis* c, const char* user,
               const char* password) {
    node& n = mycluster.mynodes[mycluster.numnodes++];
    n.name = s(name);
    n.thischassis = c;
    n.username = s(user);
    n.password = s(password);
  }

  TempDir dir;
  chassis a, b;
  int saved = 0;
  gid_t savedgid = 0;
  char savedpath[514];
};

TEST_F(Summary, WritesTheWorkedExampleWithAModeAndGroupForTheWebServer) {
  struct group* g = getgrnam("daemon");
  ASSERT_NE(g, nullptr);
  mycluster.apachegid = g->gr_gid;
  mycluster.numnodes = 0;
  addnode("node01", &a, "admin", "secret");
  mode_t before = umask(022);
  writeautoconf(&mycluster);
  EXPECT_EQ(umask(before), 022);  // restored
  EXPECT_EQ(dir.read("autonodeconf.dat"),
            std::string("$NEWCHASSIS\n") + kNode01);
  struct stat st;
  ASSERT_EQ(stat(autonodeconfdat, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(st.st_gid, g->gr_gid);
}

TEST_F(Summary, StartsASectionWhereverTheChassisChanges) {
  mycluster.numnodes = 0;
  addnode("node01", &a, "admin", "secret");
  addnode("node02", &a, "admin", "secret");
  addnode("bmc1", &b, "root", "pw");
  addnode("node04", &a, "admin", "secret");
  writeautoconf(&mycluster);
  std::string text = dir.read("autonodeconf.dat");
  std::string node02 = kNode01;
  node02.replace(0, strlen("$NODE 1 node01"), "$NODE 2 node02");
  std::string node04 = kNode01;
  node04.replace(0, strlen("$NODE 1 node01"), "$NODE 4 node04");
  std::string bmc1 =
      "$NODE 3 bmc1\n$$CHASSIS typeB\n$$USER root\n$$PASSWORD pw\n"
      "$$OPENBMCCONSOLE\n$$FANLABELS\n$$TEMPLABELS\n$$VOLTLABELS V\n"
      "$$DISCLABELS\n$$DISCCRIT\n$$VOLTALERTLO 123490\n$$VOLTALERTHI 0\n"
      "$$VOLTSHUTDOWNLO 819\n$$VOLTSHUTDOWNHI 0\n$$TEMPALERTLO\n"
      "$$TEMPALERTHI\n$$TEMPSHUTDOWNLO\n$$TEMPSHUTDOWNHI\n$$FANALERTLO\n"
      "$$FANALERTHI\n$$FANSHUTDOWNLO\n$$FANSHUTDOWNHI\n";
  EXPECT_EQ(text, "$NEWCHASSIS\n" + std::string(kNode01) + "\n" + node02 +
                      "\n$NEWCHASSIS\n" + bmc1 + "\n$NEWCHASSIS\n" + node04);
}

TEST_F(Summary, LocalInterfaceNodesHaveNoPasswordOrConsole) {
  a.numfans = 0;
  a.fanlimit[0][CRITLOW] = 1234.9;
  mycluster.numnodes = 0;
  addnode("local", &a, "SMI", "");
  std::string block;
  formatautoconfblock(&mycluster.mynodes[0], 0, block);
  const std::string head =
      "\n$NODE 1 local\n$$CHASSIS typeA\n$$USER SMI\n$$FANLABELS \n"
      "$$TEMPLABELS CPU\n";
  EXPECT_EQ(block.substr(0, head.size()), head);
  a.numfans = 2;
  block.clear();
  formatautoconfblock(&mycluster.mynodes[0], 0, block);
  EXPECT_NE(block.find("\n$$FANLABELS  FAN1 FAN2\n"), std::string::npos);
  EXPECT_NE(block.find("\n$$FANSHUTDOWNLO 1234 500\n"), std::string::npos);
}

TEST_F(Summary, TheLargestBlockIsWrittenWhole) {
  static const std::string label(95, 'L');
  chassis big;
  strcpy(big.name, "big");
  big.numfans = MAXFANS;
  big.numtemps = MAXTEMPS;
  big.numvolts = MAXVOLTS;
  big.numdiscs = MAXDISCS;
  for (int i = 0; i < MAXTEMPS; i++) {
    if (i < MAXFANS) big.fanshortname[i] = s(label.c_str());
    big.tempshortname[i] = big.voltshortname[i] = s(label.c_str());
    if (i < MAXDISCS) big.discshortname[i] = s(label.c_str());
    setlimits(big.templimit[i], -12345678.9, 0, 0, 0);
  }
  mycluster.numnodes = 0;
  addnode("n", &big, "u", "p");
  std::string block;
  formatautoconfblock(&mycluster.mynodes[0], 0, block);
  EXPECT_GT(block.size(), 8000u);
  size_t pos = block.find("$$TEMPSHUTDOWNLO");
  std::string line = block.substr(pos, block.find('\n', pos) - pos);
  EXPECT_EQ(line.size(),
            strlen("$$TEMPSHUTDOWNLO") + MAXTEMPS * strlen(" -1234567890"));
  std::string fans;
  for (int i = 0; i < MAXFANS; i++) fans += " 40001";  // the default limit
  std::string tail = "\n$$FANSHUTDOWNHI" + fans + "\n";
  EXPECT_EQ(block.substr(block.size() - tail.size()), tail);
}

TEST_F(Summary, NoNodesGiveAnEmptyFileAndAnUnopenablePathIsFatal) {
  mycluster.numnodes = 0;
  writeautoconf(&mycluster);
  struct stat st;
  ASSERT_EQ(stat(autonodeconfdat, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  strcpy(autonodeconfdat, "/nonexistent-kestrel/autonodeconf.dat");
  EXPECT_EXIT(writeautoconf(&mycluster), ::testing::ExitedWithCode(1),
              literal("Could not open /nonexistent-kestrel/autonodeconf.dat "
                      "for writing.\n"));
}

TEST_F(Summary, AFullDiskIsFatalAndLeavesTheOldSummaryWhole) {
  mycluster.numnodes = 0;
  for (const char* name : {"node01", "node02", "node03", "node04"})
    addnode(name, &a, "admin", "secret");
  dir.write("autonodeconf.dat", "the summary of the last start\n");
  // The file size limit stands in for a full disk: writes past 1 KiB fail.
  auto ondiskof1k = [] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    writeautoconf(&mycluster);
  };
  EXPECT_EXIT(ondiskof1k(), ::testing::ExitedWithCode(1),
      "Could not write .*/autonodeconf.dat: File too large\nExiting now.\n");
  EXPECT_EQ(dir.read("autonodeconf.dat"), "the summary of the last start\n");
  std::vector<std::string> names;
  DIR* d = opendir(dir.path().c_str());
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  EXPECT_EQ(names, std::vector<std::string>{"autonodeconf.dat"});
}

}  // namespace

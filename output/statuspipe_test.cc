#include "output/statuspipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "model/datastructs.h"
#include "model/globals.h"
#include "tests/unit/testfiles.h"

namespace {

chassis* examplechassis() {
  static chassis c;
  c.numfans = 2;
  c.numtemps = 2;
  c.numvolts = 3;
  c.numdiscs = 1;
  return &c;
}

TEST(StatusRecord, MatchesTheWorkedExample) {
  node n(examplechassis());
  n.name = const_cast<char*>("node07");
  n.lastupdate = 1700000000;
  n.fan[0] = 5400.0;
  n.fan[1] = 5520.7;
  n.temp[0] = 45.0;
  n.temp[1] = 38.5;
  n.volt[0] = 12.12;
  n.volt[1] = 1.15;  // 114.99999999999999 after scaling
  n.volt[2] = 3.3;
  n.disc[0] = 0;
  n.dead = false;
  n.power = true;
  std::string out;
  formatstatusrecord(&n, out);
  EXPECT_EQ(out,
            "$TIME 6553f100\n$NODE 1 node07\n$$DEAD 0\n$$FAN 5400 5520\n"
            "$$TEMP 4500 3850\n$$VOLT 1212 114 330\n$$DISC 0\n$$POWER 1\n");
}

TEST(StatusRecord, TruncatesTowardZeroAndPrintsEmptyKinds) {
  chassis c;
  c.numfans = 1;
  c.numtemps = 1;
  c.numvolts = 4;
  node n(&c);
  n.name = const_cast<char*>("dead1");
  n.fan[0] = -1.7;
  n.temp[0] = -0.5;
  n.volt[0] = 8.2;
  n.volt[1] = 1e300;  // saturates instead of overflowing
  n.volt[2] = INFINITY;  // no reading, not a large one
  n.volt[3] = NAN;
  std::string out;
  formatstatusrecord(&n, out);
  EXPECT_EQ(out,
            "$TIME 0\n$NODE 1 dead1\n$$DEAD 1\n$$FAN -1\n$$TEMP -50\n"
            "$$VOLT 819 2147483647 0 0\n$$DISC\n$$POWER 0\n");
}

TEST(StatusRecord, TheLargestRecordIsWrittenWhole) {
  chassis c;
  c.numfans = MAXFANS;
  c.numtemps = MAXTEMPS;
  c.numvolts = MAXVOLTS;
  c.numdiscs = MAXDISCS;
  node n(&c);
  n.name = const_cast<char*>("big");
  for (auto& v : n.temp) v = -12345678.9;
  std::string out;
  formatstatusrecord(&n, out);
  EXPECT_GT(out.size(), 2000u);
  size_t pos = out.find("$$TEMP");
  size_t end = out.find('\n', pos);
  std::string temps = out.substr(pos, end - pos);
  size_t count = 0;
  for (size_t p = 0; (p = temps.find(" -1234567890", p)) != std::string::npos;
       p++)
    count++;
  EXPECT_EQ(count, static_cast<size_t>(MAXTEMPS));
  EXPECT_EQ(out.substr(out.size() - 10), "$$POWER 0\n");
}

// Serves snapshots of many large records through a real FIFO.
class StatusPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    signal(SIGPIPE, SIG_IGN);  // as the daemon does
    saved = mycluster.numnodes;
    c.numfans = MAXFANS;
    c.numtemps = MAXTEMPS;
    c.numvolts = MAXVOLTS;
    for (int i = 0; i < MAXNODES; i++) {
      names[i] = "n" + std::to_string(i);
      mycluster.mynodes[i].name = const_cast<char*>(names[i].c_str());
      mycluster.mynodes[i].thischassis = &c;
    }
    mycluster.numnodes = MAXNODES;
    strcpy(savedpath, nodewatchdat);
    snprintf(nodewatchdat, sizeof nodewatchdat, "%s/nodewatch.dat",
             dir.path().c_str());
  }
  void TearDown() override {
    for (int i = 0; i < MAXNODES; i++) {
      mycluster.mynodes[i].name = nullptr;
      mycluster.mynodes[i].thischassis = nullptr;
    }
    mycluster.numnodes = saved;
    strcpy(nodewatchdat, savedpath);
  }

  TempDir dir;
  chassis c;
  std::string names[MAXNODES];
  int saved = 0;
  char savedpath[514];
};

std::string readall(int fd) {
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
  return text;
}

TEST_F(StatusPipe, AReaderLeavingEarlyAbandonsOnlyThatSnapshot) {
  ASSERT_EQ(mkfifo(nodewatchdat, 0444), 0);
  // The first reader takes a few bytes of a snapshot of megabytes and
  // leaves; the writer must come back rather than die or block.
  std::thread early([] {
    int fd = open(nodewatchdat, O_RDONLY);
    char buf[16];
    EXPECT_EQ(read(fd, buf, sizeof buf), 16);
    close(fd);
  });
  writestatussnapshot(&mycluster);
  early.join();
  std::string snapshot;
  std::thread full([&snapshot] {
    int fd = open(nodewatchdat, O_RDONLY);
    snapshot = readall(fd);
    close(fd);
  });
  writestatussnapshot(&mycluster);
  full.join();
  size_t records = 0;
  for (size_t p = 0; (p = snapshot.find("$NODE 1 ", p)) != std::string::npos;
       p++)
    records++;
  EXPECT_EQ(records, static_cast<size_t>(MAXNODES));
  EXPECT_EQ(snapshot.substr(0, 17), "$TIME 0\n$NODE 1 n");
  EXPECT_NE(snapshot.find("\n$NODE 1 n511\n"), std::string::npos);
}

TEST_F(StatusPipe, NoNodesGiveAnEmptySnapshot) {
  mycluster.numnodes = 0;
  ASSERT_EQ(mkfifo(nodewatchdat, 0444), 0);
  std::string snapshot = "unread";
  std::thread reader([&snapshot] {
    int fd = open(nodewatchdat, O_RDONLY);
    snapshot = readall(fd);
    close(fd);
  });
  writestatussnapshot(&mycluster);
  reader.join();
  EXPECT_EQ(snapshot, "");
}

TEST_F(StatusPipe, AnUnopenablePathEndsTheDaemon) {
  // A fixed path: the death test runs in a fresh copy of this binary.
  strcpy(nodewatchdat, "/nonexistent-kestrel/nodewatch.dat");
  EXPECT_EXIT(writestatussnapshot(&mycluster), ::testing::ExitedWithCode(1),
              literal("Could not open /nonexistent-kestrel/nodewatch.dat for "
                      "writing.\n"));
}

TEST_F(StatusPipe, NoDescriptorLeftSkipsTheSnapshotNotTheDaemon) {
  ASSERT_EQ(mkfifo(nodewatchdat, 0444), 0);
  int wasdaemon = nodaemon;
  nodaemon = 1;  // error_msg then writes stderr as well
  struct rlimit was;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  // Every descriptor below the new limit is taken: the open must fail.
  int probe = open("/dev/null", O_RDONLY);
  ASSERT_GE(probe, 0);
  struct rlimit tight = {static_cast<rlim_t>(probe), was.rlim_max};
  testing::internal::CaptureStderr();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  writestatussnapshot(&mycluster);
  writestatussnapshot(&mycluster);
  setrlimit(RLIMIT_NOFILE, &was);
  std::string err = testing::internal::GetCapturedStderr();
  close(probe);
  nodaemon = wasdaemon;
  EXPECT_EQ(err, std::string("No descriptor left to open ") + nodewatchdat +
                     ": snapshots are skipped until one is free\n");
}

}  // namespace

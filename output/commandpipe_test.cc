#include "output/commandpipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "model/datastructs.h"
#include "model/defines.h"
#include "model/globals.h"

namespace {

// Feeds chunks through the splitter and records what comes out.
struct Splitter {
  void feed(const std::string& chunk) {
    splitcommandlines(
        partial, chunk.data(), chunk.size(),
        [this](const char* l) { lines.push_back(l); },
        [this] { lines.push_back("<too long>"); });
  }
  std::string partial;
  std::vector<std::string> lines;
};

TEST(CommandLines, SplitAtLineFeedsAndKeepTheUnfinishedLine) {
  Splitter s;
  s.feed("$VERSION 1\n$DO_POWER_OFF a\n$VERSION 1\n$DO_RES");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"$VERSION 1", "$DO_POWER_OFF a",
                                               "$VERSION 1"}));
  EXPECT_EQ(s.partial, "$DO_RES");
  s.feed("ET b\r\n\n");
  EXPECT_EQ(s.lines.size(), 5u);
  EXPECT_EQ(s.lines[3], "$DO_RESET b\r");
  EXPECT_EQ(s.lines[4], "");
  EXPECT_EQ(s.partial, "");
}

TEST(CommandLines, LinesOf1024CharactersOrMoreAreSkippedWhole) {
  Splitter s;
  std::string longest(MAXCOMMANDLINE - 1, 'x');
  s.feed(longest + "\n");
  ASSERT_EQ(s.lines.size(), 1u);
  EXPECT_EQ(s.lines[0], longest);

  // One character more, arriving across several reads with a line on
  // either side: only the long line is skipped, and the kept fragment
  // never grows past the limit.
  s.lines.clear();
  std::string toolong(MAXCOMMANDLINE, 'y');
  s.feed("before\n" + toolong.substr(0, 700));
  s.feed(toolong.substr(700) + std::string(5000, 'z'));
  EXPECT_LE(s.partial.size(), MAXCOMMANDLINE);
  s.feed("zz\nafter\n");
  EXPECT_EQ(s.lines,
            (std::vector<std::string>{"before", "<too long>", "after"}));
}

TEST(CommandLines, KeywordsDecideByTheirOwnCharactersInTableOrder) {
  struct Case {
    const char* line;
    int code;
    bool testemail;
    const char* name;
  } cases[] = {
      {"$DO_POWER_ON node07", POWERON, false, "node07"},
      {"$DO_POWER_OFF node07", POWEROFF, false, "node07"},
      {"$DO_RESET node07", RESET, false, "node07"},
      {"$DO_POWER_ON  node07", POWERON, false, " node07"},
      {"$DO_POWER_ON\tnode 7", POWERON, false, "node 7"},
      {"$DO_POWER_OFFICE x", POWEROFF, false, "CE x"},
      {"$DO_RESET", RESET, false, ""},
      {"$DO_RESET ", RESET, false, ""},
      {"$DO_RESET node07\r", RESET, false, "node07\r"},
      {"$TEST_EMAIL", NONE, true, ""},
      {"$TEST_EMAIL please", NONE, true, ""},
      {"$VERSION 1", NONE, false, ""},
      {"", NONE, false, ""},
      {"$DO_POWER", NONE, false, ""},
      {" $DO_RESET node07", NONE, false, ""},
      {"$do_reset node07", NONE, false, ""},
  };
  for (const Case& c : cases) {
    commandmatch m = matchcommand(c.line);
    EXPECT_EQ(m.code, c.code) << c.line;
    EXPECT_EQ(m.testemail, c.testemail) << c.line;
    EXPECT_STREQ(m.name, c.name) << c.line;
  }
}

// Records the commands handed to it as "on n1", "off n2", "reset n3".
class recordingtransport : public transport {
 public:
  bool poll(node*) override { return false; }
  bool command(node* n, int code) override {
    const char* word = code == POWERON ? "on" : code == POWEROFF ? "off" : "reset";
    sent.push_back(std::string(word) + " " + n->name);
    return true;
  }
  const char* name() const override { return "recording"; }
  std::vector<std::string> sent;
};

long long intakems = 0;
long long intakeclock() { return intakems; }

TEST(CommandIntake, PowerOnsBeyondTheRateWaitTheirTurnInOrder) {
  static char names[4][4] = {"n1", "n2", "n3", "n4"};
  auto cl = std::make_unique<cluster>();
  recordingtransport rec;
  for (int i = 0; i < 4; i++) {
    cl->mynodes[i].name = names[i];
    cl->mynodes[i].link = &rec;
  }
  cl->numnodes = 4;
  cl->poweronrate = 2;
  commandinput in;
  in.clockms = intakeclock;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  in.fd = fds[0];
  int savednodaemon = nodaemon;
  nodaemon = 1;

  // Two go out; n3 and n4 wait; the unknown name waits for nothing; the
  // power-off of n4 drops its power-on; the reset of n3 does not wait.
  std::string lines;
  for (const char* n : {"n1", "n2", "n3", "n4", "nosuch"})
    lines += std::string("$VERSION 1\n$DO_POWER_ON ") + n + "\n";
  lines += "$DO_POWER_OFF n4\n$DO_RESET n3\n";
  ASSERT_EQ(write(fds[1], lines.data(), lines.size()),
            static_cast<ssize_t>(lines.size()));
  testing::internal::CaptureStderr();
  processcommandfifo(&in, cl.get());
  intakems = 999;
  processcommandfifo(&in, cl.get());
  EXPECT_EQ(rec.sent, (std::vector<std::string>{"on n1", "on n2", "off n4",
                                                "reset n3"}));
  intakems = 1000;
  processcommandfifo(&in, cl.get());
  EXPECT_EQ(rec.sent.back(), "on n3");
  EXPECT_EQ(rec.sent.size(), 5u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Power-ons wait their turn: at most 2 go out per second\n"
            "Unable to locate node nosuch to issue command code 1."
            "Dropping the waiting power on of n4: a power off came after it\n");

  nodaemon = savednodaemon;
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

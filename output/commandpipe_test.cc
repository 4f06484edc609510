#include "output/commandpipe.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "model/defines.h"

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

}  // namespace

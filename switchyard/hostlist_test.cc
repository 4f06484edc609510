#include "switchyard/hostlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> names;

names expand(const std::string& list) {
  names out;
  std::string error;
  EXPECT_TRUE(expandhostlist(list, &out, &error)) << list << ": " << error;
  return out;
}

TEST(HostList, RangesKeepTheirWrittenWidth) {
  EXPECT_EQ(expand("node[01-04,07]"),
            (names{"node01", "node02", "node03", "node04", "node07"}));
  EXPECT_EQ(expand("node[08-10]"), (names{"node08", "node09", "node10"}));
  EXPECT_EQ(expand("node[8-10]"), (names{"node8", "node9", "node10"}));
  EXPECT_EQ(expand("n[007,5]"), (names{"n007", "n5"}));
  EXPECT_EQ(expand("n[3-3]x"), (names{"n3x"}));
}

TEST(HostList, GroupsFollowInOrderAndBracketsCombine) {
  EXPECT_EQ(expand("node[01-02],gpu[1-2],head"),
            (names{"node01", "node02", "gpu1", "gpu2", "head"}));
  EXPECT_EQ(expand("r[1-2]n[1-2]"), (names{"r1n1", "r1n2", "r2n1", "r2n2"}));
  EXPECT_EQ(expand("b,a,b"), (names{"b", "a", "b"}));
}

TEST(HostList, APlainNameStandsForItself) {
  for (const char* name : {"node07", "node-7", "node 7", "x.y_z", "-"})
    EXPECT_EQ(expand(name), (names{name}));
}

TEST(HostList, MalformedListsAreRefusedWithAReason) {
  struct Case {
    const char* list;
    const char* reason;
  } cases[] = {
      {"", "empty"},
      {"a,,b", "empty name"},
      {"a,", "empty name"},
      {"node[1-2", "do not pair"},
      {"node1-2]", "do not pair"},
      {"node[1-[2]]", "do not pair"},
      {"node[]", "empty bracket"},
      {"node[5-3]", "runs backwards"},
      {"node[a-c]", "other than numbers"},
      {"node[1-]", "other than numbers"},
      {"node[1-2,]", "ends in a comma"},
      {"node[1234567890]", "more than 9 digits"},
      {"node[1-10001]", "more than 10000 names"},
      {"a[1-100]b[1-101]", "more than 10000 names"},
      {"a[1-10000],b", "more than 10000 names"},
      {"a[0-999999999]b[0-999999999]", "more than 10000 names"},
  };
  for (const Case& c : cases) {
    names out{"untouched"};
    std::string error;
    EXPECT_FALSE(expandhostlist(c.list, &out, &error)) << c.list;
    EXPECT_NE(error.find(c.reason), std::string::npos)
        << c.list << ": " << error;
    EXPECT_EQ(out, (names{"untouched"})) << c.list;
  }
  // The cap itself is allowed.
  EXPECT_EQ(expand("a[1-100]b[1-100]").size(), MAXHOSTLISTNAMES);
}

}  // namespace

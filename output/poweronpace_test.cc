#include "output/poweronpace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> names;

TEST(PowerOnPace, AtMostRateWithinAnySecondInOrder) {
  poweronpacer p;
  for (const char* n : {"a", "b", "c", "d", "e"}) p.add(n);
  EXPECT_EQ(p.due(0, 3), (names{"a", "b", "c"}));
  EXPECT_EQ(p.due(999, 3), names{});
  EXPECT_EQ(p.due(1000, 3), (names{"d", "e"}));
  // The second is measured from each power-on, not in fixed steps: one slot
  // is left until the two of 1000 ms have aged out.
  p.add("f");
  p.add("g");
  p.add("h");
  EXPECT_EQ(p.due(1500, 3), (names{"f"}));
  EXPECT_EQ(p.due(1999, 3), names{});
  EXPECT_EQ(p.due(2000, 3), (names{"g", "h"}));
  EXPECT_TRUE(p.waiting.empty());
  EXPECT_EQ(p.due(5000, 3), names{});
}

TEST(PowerOnPace, DroppingRemovesEveryWaitingOneOfTheName) {
  poweronpacer p;
  for (const char* n : {"a", "b", "a", "c"}) p.add(n);
  EXPECT_EQ(p.drop("a"), 2);
  EXPECT_EQ(p.drop("x"), 0);
  EXPECT_EQ(p.due(0, 10), (names{"b", "c"}));
}

}  // namespace

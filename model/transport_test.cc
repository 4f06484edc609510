#include "model/transport.h"

#include <gtest/gtest.h>

namespace {

TEST(RequestCounters, FailuresAreSortedByWhatWentWrong) {
  requestcounters c;
  c.count(0.25, false, true, 200);
  c.count(20.0, true, false, 0);    // the time limit ran out
  c.count(0.01, false, false, 0);   // refused connection, TLS, reset
  c.count(0.5, false, true, 503);   // busy
  c.count(0.5, false, true, 401);   // login or token refused
  c.count(0.5, false, true, 404);
  bmcrequests r;
  c.read(&r);
  EXPECT_EQ(r.count, 6u);
  EXPECT_DOUBLE_EQ(r.seconds, 21.76);
  const unsigned long long each[NUMFAILKINDS] = {1, 1, 1, 1, 1};
  for (int k = 0; k < NUMFAILKINDS; k++) EXPECT_EQ(r.failures[k], each[k]) << k;
}

TEST(PassStaleLimit, ThreePassesWithinTwentyFiveSecondsAndThreeMinutes) {
  EXPECT_EQ(passstalelimit(0), 25);  // not measured yet
  EXPECT_EQ(passstalelimit(8), 25);
  EXPECT_EQ(passstalelimit(9), 27);
  EXPECT_EQ(passstalelimit(55), 165);
  EXPECT_EQ(passstalelimit(61), 180);
  EXPECT_EQ(passstalelimit(100000), 180);
}

}  // namespace

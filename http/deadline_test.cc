#include "http/deadline.h"

#include <gtest/gtest.h>

TEST(ConnectionLimit, IsTheDescriptorBudgetLessTheDaemonsShare) {
  EXPECT_EQ(httpconnectionlimit(1024, 1024, 1), 1024u - 64 - 1);
  EXPECT_EQ(httpconnectionlimit(1024, 1024, 512), 1024u - 64 - 512);
  // A raised limit does not lift the ceiling.
  EXPECT_EQ(httpconnectionlimit(1u << 20, 1024, 0), 1024u - 64);
  EXPECT_EQ(httpconnectionlimit(256, 1024, 512), HTTPMINCONNECTIONS);
  EXPECT_EQ(httpconnectionlimit(0, 1024, 0), HTTPMINCONNECTIONS);
}

TEST(RequestClock, ARequestMustArriveInTimeFromTheAcceptOrTheLastReply) {
  requestclock c(100, 10);
  EXPECT_EQ(c.untilnext(0), -1);
  c.opened(5, 0);
  c.opened(6, 1);
  c.opened(7, 2);
  c.requested(6);  // answered: no deadline
  EXPECT_DOUBLE_EQ(c.untilnext(3), 7);
  EXPECT_EQ(c.overdue(9.9), std::vector<int>{});
  EXPECT_EQ(c.overdue(12), (std::vector<int>{5, 7}));
  EXPECT_EQ(c.overdue(13), std::vector<int>{});  // named once
  EXPECT_EQ(c.open, 3u);

  // After its reply, the next request's time starts.
  c.replied(6, 20);
  EXPECT_DOUBLE_EQ(c.untilnext(25), 5);
  EXPECT_EQ(c.overdue(30), std::vector<int>{6});
  // A request the library ended itself gains nothing.
  c.opened(8, 31);
  c.replied(8, 39);
  EXPECT_EQ(c.overdue(41), std::vector<int>{8});
  for (int fd : {5, 6, 7, 8}) c.closed(fd);
  EXPECT_EQ(c.open, 0u);
  EXPECT_EQ(c.untilnext(50), -1);
}

TEST(RequestClock, WhenFullTheOldestStillWaitingMakesRoom) {
  requestclock c(3, 10);
  EXPECT_EQ(c.opened(5, 0), -1);
  EXPECT_EQ(c.opened(6, 1), -1);
  EXPECT_EQ(c.opened(7, 2), -1);
  c.requested(5);
  EXPECT_EQ(c.opened(8, 3), 6);  // 5 is being answered
  c.closed(6);
  c.requested(7);
  c.requested(8);
  EXPECT_EQ(c.opened(9, 4), 9);  // nothing older waits
  c.closed(9);
  EXPECT_EQ(c.open, 3u);
  // A displaced connection is not named again when overdue.
  EXPECT_EQ(c.overdue(100), std::vector<int>{});
}

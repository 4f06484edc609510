#include "daemon/mainloop.h"

#include <OpenIPMI/ipmi_posix.h>
#include <gtest/gtest.h>
#include <string.h>

#include "ipmi/openipmi.h"
#include "model/globals.h"

namespace {

TEST(EventPhase, EndsOnItsTimeBudgetLongBeforeItsTurnCount) {
  os_handler_t* saved = os_hnd;
  os_hnd = ipmi_posix_setup_os_handler();
  ASSERT_NE(os_hnd, nullptr);
  // With nothing to wake it, each turn waits for the rest of the budget, so
  // a 0.2 s phase ends after a turn or two instead of 10239 idle turns.
  int turns = runeventphase(512 * 20, 200000);
  EXPECT_GE(turns, 1);
  EXPECT_LE(turns, 3);
  EXPECT_EQ(runeventphase(0, 200000), 0);  // no nodes: no turns
  os_hnd->free_os_handler(os_hnd);
  os_hnd = saved;
}

TEST(Paths, AreFormedFromTheDataDirectory) {
  strcpy(datadir, "/srv/k");
  formpaths();
  EXPECT_STREQ(chassisfile, "/srv/k/chassis.dat");
  EXPECT_STREQ(clusterfile, "/srv/k/cluster.dat");
  EXPECT_STREQ(nodewatchdat, "/srv/k/nodewatch.dat");
  EXPECT_STREQ(autonodeconfdat, "/srv/k/autonodeconf.dat");
  EXPECT_STREQ(nodecommandsdat, "/srv/k/nodecommands.dat");
}

}  // namespace

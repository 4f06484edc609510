#include "alerts/hardware.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/alertfixture.h"

namespace {

const char HEADING[] = "Critical hardware events from the BMCs' event logs:\n";

TEST(HardwareQueue, OneLineEachBoundedAndTakenOnce) {
  hardwarequeue q;
  EXPECT_TRUE(q.empty());
  q.add("Hardware event on node01 at x: PSU1 Status: failure, asserted\n");
  q.add(std::string(HARDWARELINELEN + 10, 'a').c_str());
  EXPECT_FALSE(q.empty());
  EXPECT_EQ(q.take(), std::string(HEADING) +
                          "  Hardware event on node01 at x: PSU1 Status: "
                          "failure, asserted\n  " +
                          std::string(HARDWARELINELEN, 'a') + "\n\n");
  EXPECT_TRUE(q.empty());

  for (size_t i = 0; i < HARDWARELINES + 7; i++)
    q.add(("line " + std::to_string(i)).c_str());
  std::string s = q.take();
  EXPECT_NE(
      s.find("  line 99\n  ... and 7 more, listed in the daemon's log.\n\n"),
      std::string::npos);
  EXPECT_EQ(s.find("line 100"), std::string::npos);
  EXPECT_TRUE(q.empty());
}

class HardwareMail : public AlertTest {
 protected:
  void SetUp() override {
    AlertTest::SetUp();
    savedalerts = mycluster.processalerts;
    mycluster.processalerts = true;
    pendingalerts.hardware.take();
    pendingalerts.hardwaremailed = 0;
  }
  void TearDown() override {
    AlertTest::TearDown();
    mycluster.processalerts = savedalerts;
  }
  bool savedalerts = false;
};

TEST_F(HardwareMail, GoesOutAloneAtMostEveryGapAndJoinsAnAlert) {
  alerthook.hardware("Hardware event on node01 at x: a\n");
  pendingalerts.process();
  EXPECT_EQ(body(),
            std::string(HEADING) + "  Hardware event on node01 at x: a\n\n");
  EXPECT_EQ(pendingalerts.myemail.subject,
            std::string("Automatic alert from your Varnholt Cluster"));
  waitsenders();

  // Within the gap a second event waits...
  alerthook.hardware("Hardware event on node02 at y: b\n");
  testclock::advance(HARDWAREGAP - 1);
  pendingalerts.process();
  EXPECT_EQ(body(),
            std::string(HEADING) + "  Hardware event on node01 at x: a\n\n");
  // ...unless an alert goes out, which it joins after the alert's entry.
  seen(&n1, VOLT, 0, 13.5, 7);
  pendingalerts.process();
  std::string b = body();
  EXPECT_EQ(b.find("Critical high alert generated for node node01:\n"), 0u);
  EXPECT_NE(b.find(std::string("\n\n") + HEADING +
                   "  Hardware event on node02 at y: b\n\n"),
            std::string::npos);
  EXPECT_EQ(b.find("at x: a"), std::string::npos);

  // With alerts disabled nothing is queued.
  mycluster.processalerts = false;
  alerthook.hardware("Hardware event on node02 at z: c\n");
  EXPECT_TRUE(pendingalerts.hardware.empty());
}

}  // namespace

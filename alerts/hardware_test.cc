#include "alerts/hardware.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/alertfixture.h"

namespace {

const char HEADING[] = "Critical hardware events from the BMCs' event logs:\n";

std::string section(const std::string& lines) { return HEADING + lines + "\n"; }

TEST(HardwareQueue, LinesStayUntilAnEmailHoldingThemIsAccepted) {
  hardwarequeue q;
  EXPECT_TRUE(q.empty());
  EXPECT_FALSE(q.ready());
  q.add("Hardware event on node01 at x: a\n");
  q.add(std::string(HARDWARELINELEN + 10, 'b').c_str());
  std::string ab = "  Hardware event on node01 at x: a\n  " +
                   std::string(HARDWARELINELEN, 'b') + "\n";
  EXPECT_EQ(q.take(), section(ab));

  // While that e-mail is on its way no other takes its lines.
  q.add("c");
  EXPECT_FALSE(q.ready());
  q.settle(false);
  EXPECT_EQ(q.take(), section(ab + "  c\n"));

  // Accepted: exactly the lines it held are gone, not those queued since.
  q.add("d");
  q.settle(true);
  EXPECT_EQ(q.take(), section("  d\n"));
  q.settle(true);
  EXPECT_TRUE(q.empty());
}

TEST(HardwareQueue, AFullQueueDropsTheOldestAndTheNextEmailSaysHowMany) {
  hardwarequeue q;
  for (size_t i = 0; i < HARDWAREQUEUED + 5; i++)
    q.add(("line " + std::to_string(i)).c_str());
  std::string first = q.take();
  EXPECT_EQ(first.find(std::string(HEADING) +
                       "  5 earlier critical events were dropped: the queue "
                       "was full\n  line 5\n"),
            0u);
  EXPECT_NE(first.find("  line 104\n  ... and " +
                       std::to_string(HARDWAREQUEUED - HARDWARELINES) +
                       " more, listed in the daemon's log.\n\n"),
            std::string::npos);
  EXPECT_EQ(first.find("line 105\n"), std::string::npos);

  // A failed send reports the count again; a line added meanwhile pushes
  // out the oldest line the e-mail did not hold.
  q.add("newest");
  q.settle(false);
  std::string second = q.take();
  EXPECT_EQ(second.find(std::string(HEADING) +
                        "  6 earlier critical events were dropped: the queue "
                        "was full\n  line 5\n"),
            0u);

  // Accepted: the line pushed out was 105, the first after those it held.
  q.settle(true);
  std::string third = q.take();
  EXPECT_EQ(third.find(std::string(HEADING) + "  line 106\n"), 0u);
  EXPECT_EQ(third.find("dropped"), std::string::npos);
}

class HardwareMail : public AlertTest {
 protected:
  void SetUp() override {
    AlertTest::SetUp();
    savedalerts = mycluster.processalerts;
    mycluster.processalerts = true;
    pendingalerts.hardware = hardwarequeue();
    pendingalerts.hardwarejob.reset();
    pendingalerts.hardwaremailed = 0;
  }
  void TearDown() override {
    AlertTest::TearDown();
    mycluster.processalerts = savedalerts;
  }
  // What the sender started last transmits.
  static std::string sent() { return pendingalerts.myemail.current->body; }
  bool savedalerts = false;
};

// The fixture's server refuses every connection: each e-mail fails.
TEST_F(HardwareMail, EventsOfAFailedEmailGoAgainWithTheNextOne) {
  alerthook.hardware(&n1, "Hardware event on node01 at x: a\n");
  pendingalerts.process();
  EXPECT_EQ(sent(), section("  Hardware event on node01 at x: a\n"));
  EXPECT_EQ(pendingalerts.myemail.subject,
            std::string("Automatic alert from your Varnholt Cluster"));
  ASSERT_TRUE(waitsenders());
  // A test e-mail resends the body, but never the events.
  pendingalerts.testemail();
  EXPECT_EQ(sent().find("at x: a"), std::string::npos);
  ASSERT_TRUE(waitsenders());

  // Alone, they wait out the gap after the failed attempt...
  std::shared_ptr<outgoingmail> last = pendingalerts.myemail.current;
  alerthook.hardware(&n1, "Hardware event on node02 at y: b\n");
  testclock::advance(HARDWAREGAP - 1);
  pendingalerts.process();
  EXPECT_EQ(pendingalerts.myemail.current, last);
  // ...unless an alert goes out, which they join after the alert's entry.
  seen(&n1, VOLT, 0, 13.5, 7);
  pendingalerts.process();
  std::string b = sent();
  EXPECT_EQ(b.find("Critical high alert generated for node node01:\n"), 0u);
  EXPECT_NE(b.find("\n\n" + section("  Hardware event on node01 at x: a\n"
                                    "  Hardware event on node02 at y: b\n")),
            std::string::npos);
  ASSERT_TRUE(waitsenders());

  // The Slurm link hears of each event, and the e-mail of the drain.
  pendingalerts.hardware = hardwarequeue();
  drainhook.hardware = [](node* n, const char* line) {
    EXPECT_STREQ(n->name, "node01");
    EXPECT_STREQ(line, "Hardware event on node01 at w: d\n");
    return static_cast<int>(DRAIN_STARTED);
  };
  alerthook.hardware(&n1, "Hardware event on node01 at w: d\n");
  drainhook.hardware = nullptr;
  EXPECT_NE(pendingalerts.hardware.take().find(
                "  Hardware event on node01 at w: d (node drained in Slurm)\n"),
            std::string::npos);

  // With alerts disabled nothing is queued.
  pendingalerts.hardware = hardwarequeue();
  mycluster.processalerts = false;
  alerthook.hardware(&n1, "Hardware event on node02 at z: c\n");
  EXPECT_TRUE(pendingalerts.hardware.empty());
}

}  // namespace

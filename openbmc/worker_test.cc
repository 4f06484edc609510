#include <curl/curl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "model/datastructs.h"
#include "model/globals.h"
#include "openbmc/openbmc.h"
#include "tests/unit/testclock.h"

namespace {

// The worker's tasks are timed on the fixed test clock.
time_t fixedclock() { return testclock::fixedclock(); }

// A node whose BMC address can never be reached: its host name makes the
// URL malformed, so every transfer fails at once without touching the
// network.
class OpenBmcNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c.transportkind = TRANSPORT_OPENBMC;
    n.thischassis = &c;
    n.link = &l;
    n.name = const_cast<char*>("127.0.0.1:0");
    n.username = const_cast<char*>("root");
    n.password = const_cast<char*>("0penBmc");
    l.curl = curl_easy_init();
    ASSERT_NE(l.curl, nullptr);
    l.curlURL = url;
    l.curlDATA = data;
    testclock::fixed = 1000000;
    settestclock(testclock::fixedclock);
  }
  void TearDown() override {
    settestclock(nullptr);
    curl_easy_cleanup(l.curl);
  }
  // Runs the worker until it meets QUIT at the end of the queue.
  void runworker() {
    l.curlAddTask(QUIT);
    void* result = &n;
    std::thread worker([&] { result = openbmc_link::curlNodeThread(&l); });
    worker.join();
    EXPECT_EQ(result, nullptr);
  }
  size_t feed(size_t (*handler)(char*, size_t, size_t, void*),
              const std::string& reply) {
    std::string copy = reply;
    return handler(&copy[0], 1, copy.size(), &l);
  }

  // What the worker would take next; NONE when the queue is empty.
  int next() {
    holding<lockable> hold(l.curlTaskLock);
    if (l.curlTasks.empty()) return NONE;
    int task = l.curlTasks.front();
    l.curlTasks.pop_front();
    return task;
  }

  chassis c;
  node n;
  openbmc_link l{&n};
  char url[CURLURLLEN] = {};
  char data[CURLDATALEN] = {};
};

TEST_F(OpenBmcNodeTest, QueueIsFirstInFirstOutAndYieldsNoneWhenEmpty) {
  EXPECT_EQ(next(), NONE);
  EXPECT_TRUE(l.curlAddTask(STATUS));
  EXPECT_TRUE(l.curlAddTask(GETDATA));
  EXPECT_TRUE(l.curlAddTask(STATUS));
  EXPECT_EQ(next(), STATUS);
  EXPECT_EQ(next(), GETDATA);
  EXPECT_EQ(next(), STATUS);
  EXPECT_EQ(next(), NONE);
}

TEST_F(OpenBmcNodeTest, AddTaskOnceKeepsOneOfEachQueuedTask) {
  EXPECT_TRUE(l.curlAddTaskOnce(STATUS));
  EXPECT_TRUE(l.curlAddTaskOnce(GETDATA));
  EXPECT_FALSE(l.curlAddTaskOnce(STATUS));
  EXPECT_FALSE(l.curlAddTaskOnce(GETDATA));
  EXPECT_TRUE(l.curlAddTask(POWERON));
  EXPECT_TRUE(l.curlAddTask(POWERON));
  {
    holding<lockable> hold(l.curlTaskLock);
    EXPECT_EQ(l.curlTasks.size(), 4u);
  }
  EXPECT_EQ(next(), STATUS);
  EXPECT_TRUE(l.curlAddTaskOnce(STATUS));  // no longer queued
}

TEST_F(OpenBmcNodeTest, WorkerSkipsUnknownCodesAndEndsAtQuit) {
  l.curlAddTask(42);
  l.curlAddTask(-1);
  l.curlAddTask(NONE);
  runworker();
  EXPECT_EQ(url[0], '\0');  // nothing was sent
  EXPECT_EQ(next(), NONE);
}

TEST_F(OpenBmcNodeTest, TaskWithoutSessionLogsInOnceAndIsDroppedOnFailure) {
  l.curlLoggedIn = false;
  l.curlAddTask(STATUS);
  runworker();
  // The login was tried and failed; the status request was never formed.
  EXPECT_STREQ(url, "https://127.0.0.1:0-ipmi/login");
  EXPECT_NE(l.res, CURLE_OK);
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_FALSE(l.curlInLogin);
  EXPECT_STREQ(data, "{\"data\": [ \"root\", \"0penBmc\" ] }");
}

TEST_F(OpenBmcNodeTest, StatusIsHeldBackForTwentySecondsAfterPowerOn) {
  l.curlLoggedIn = true;
  l.curlAddTask(POWERON);
  l.curlAddTask(STATUS);
  runworker();
  EXPECT_EQ(l.curlLastPwrOnCmd, fixedclock());
  // The power-on URL is the last one formed: the status task was dropped.
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/host0/attr/"
               "RequestedHostTransition");

  l.curlLastPwrOnCmd = fixedclock() - 19;
  l.curlAddTask(STATUS);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/host0/attr/"
               "RequestedHostTransition");

  l.curlLastPwrOnCmd = fixedclock() - 20;
  l.curlAddTask(STATUS);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/chassis0");
}

TEST_F(OpenBmcNodeTest, PowerOffAndResetGoToTheirTransitionAttributes) {
  l.curlLoggedIn = true;
  l.curlAddTask(POWEROFF);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/chassis0/"
               "attr/RequestedPowerTransition");
  l.curlAddTask(RESET);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/host0/attr/"
               "RequestedHostTransition");
  EXPECT_EQ(l.curlLastPwrOnCmd, 0);  // only a power-on holds status back
}

TEST_F(OpenBmcNodeTest, LoginReplySetsSessionAndLiveness) {
  EXPECT_EQ(feed(openbmc_link::curlVerifyLogin, "{\n  \"status\": \"ok\"\n}"), 20u);
  EXPECT_TRUE(l.curlLoggedIn);
  EXPECT_FALSE(n.dead);
  feed(openbmc_link::curlVerifyLogin, "{\n  \"status\": \"error\"\n}");
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_TRUE(n.dead);
  l.curlLoggedIn = true;
  n.dead = false;
  feed(openbmc_link::curlVerifyLogin, "Unsupported Media Type");
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_TRUE(n.dead);
}

TEST_F(OpenBmcNodeTest, PowerStateRepliesDrivePowerLivenessAndSettling) {
  const std::string prefix =
      "{\"data\": {\"CurrentPowerState\": "
      "\"xyz.openbmc_project.State.Chassis.PowerState.";
  n.firsttime = 5;
  n.lastupdate = 7;
  feed(openbmc_link::curlPowerStatus, prefix + "On\"}}");
  // Off before: the settling time restarts now.
  EXPECT_TRUE(n.power);
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, fixedclock());
  EXPECT_EQ(n.lastupdate, 0);

  n.firsttime = 5;
  feed(openbmc_link::curlPowerStatus, prefix + "On\"}}");
  EXPECT_EQ(n.firsttime, 5);  // already on: keeps running

  feed(openbmc_link::curlPowerStatus, prefix + "Off\"}}");
  EXPECT_FALSE(n.power);
  EXPECT_FALSE(n.dead);

  n.power = true;
  l.curlLoggedIn = true;
  EXPECT_EQ(feed(openbmc_link::curlPowerStatus, "{\"status\": \"error\"}"), 19u);
  EXPECT_FALSE(n.power);
  EXPECT_TRUE(n.dead);
  EXPECT_FALSE(l.curlLoggedIn);  // the next task logs in again
}

TEST_F(OpenBmcNodeTest, SensorReplyWithoutScaleEndsTheSession) {
  l.curlLoggedIn = true;
  n.dead = false;
  l.curlCurSens = "Inlet";
  feed(openbmc_link::curlGetData,
       "{\"data\": {\"description\": \"Login required\"}, \"status\": "
       "\"error\"}");
  EXPECT_TRUE(n.dead);
  EXPECT_FALSE(l.curlLoggedIn);
}

TEST_F(OpenBmcNodeTest, SensorReadingsStartSettlingOnlyWhenPositive) {
  l.curlCurSens = "Inlet";
  feed(openbmc_link::curlGetData, "{\"Scale\": -3, \"Value\": -2500}");
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, 0);
  feed(openbmc_link::curlGetData, "{\"Scale\": -3, \"Value\": 0}");
  EXPECT_EQ(n.firsttime, 0);
  n.dead = true;
  feed(openbmc_link::curlGetData, "{\"Scale\": -3}");  // no value: alive, no reading
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, 0);
  feed(openbmc_link::curlGetData, "{\"Scale\": -3, \"Value\": 21500}");
  EXPECT_EQ(n.firsttime, fixedclock());
}

TEST_F(OpenBmcNodeTest, UploadHandlerCopiesTheBodyWithinTheBuffer) {
  const char body[] =
      "{\"data\": \"xyz.openbmc_project.State.Host.Transition.On\"}";
  char buffer[100];
  EXPECT_EQ(
      openbmc_link::curlSendCommand(buffer, 1, sizeof buffer, const_cast<char*>(body)),
      56u);
  EXPECT_EQ(memcmp(buffer, body, 56), 0);
  EXPECT_EQ(openbmc_link::curlSendCommand(buffer, 1, 10, const_cast<char*>(body)), 10u);
}

// curlInit's worker is detached, so its record must outlive the test.
node initnode;
openbmc_link initlink{&initnode};

TEST(OpenBmcInit, MakesTheHandleAndBuffersAndStartsTheWorker) {
  ASSERT_TRUE(initlink.curlInit());
  EXPECT_NE(initlink.curl, nullptr);
  EXPECT_NE(initlink.curlURL, nullptr);
  EXPECT_NE(initlink.curlDATA, nullptr);
  initlink.curlAddTask(QUIT);
  // The worker takes the task: the queue empties without our help.
  bool empty = false;
  for (int i = 0; i < 500 && !empty; i++) {
    {
      holding<lockable> hold(initlink.curlTaskLock);
      empty = initlink.curlTasks.empty();
    }
    if (!empty) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(empty);
}

}  // namespace

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "daemon/globals.h"
#include "model/datastructs.h"
#include "openbmc/openbmc.h"

namespace {

time_t fixedclock() { return 1000000; }

// A node whose BMC address can never be reached: its host name makes the
// URL malformed, so every transfer fails at once without touching the
// network.
class OpenBmcNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c.openbmc = true;
    n.thischassis = &c;
    n.name = const_cast<char*>("127.0.0.1:0");
    n.username = const_cast<char*>("root");
    n.password = const_cast<char*>("0penBmc");
    n.curl = curl_easy_init();
    ASSERT_NE(n.curl, nullptr);
    n.curlURL = url;
    n.curlDATA = data;
    settestclock(fixedclock);
  }
  void TearDown() override {
    settestclock(nullptr);
    curl_easy_cleanup(n.curl);
  }
  // Runs the worker until it meets QUIT at the end of the queue.
  void runworker() {
    n.curlAddTask(QUIT);
    void* result = &n;
    std::thread worker([&] { result = node::curlNodeThread(&n); });
    worker.join();
    EXPECT_EQ(result, nullptr);
  }
  size_t feed(size_t (*handler)(char*, size_t, size_t, void*),
              const std::string& reply) {
    std::string copy = reply;
    return handler(&copy[0], 1, copy.size(), &n);
  }

  chassis c;
  node n;
  char url[CURLURLLEN] = {};
  char data[CURLDATALEN] = {};
};

TEST_F(OpenBmcNodeTest, QueueIsFirstInFirstOutAndYieldsNoneWhenEmpty) {
  EXPECT_EQ(n.curlNext(), NONE);
  EXPECT_TRUE(n.curlAddTask(STATUS));
  EXPECT_TRUE(n.curlAddTask(GETDATA));
  EXPECT_TRUE(n.curlAddTask(STATUS));
  EXPECT_EQ(n.curlNext(), STATUS);
  EXPECT_EQ(n.curlNext(), GETDATA);
  EXPECT_EQ(n.curlNext(), STATUS);
  EXPECT_EQ(n.curlNext(), NONE);
}

TEST_F(OpenBmcNodeTest, AddTaskOnceKeepsOneOfEachQueuedTask) {
  EXPECT_TRUE(n.curlAddTaskOnce(STATUS));
  EXPECT_TRUE(n.curlAddTaskOnce(GETDATA));
  EXPECT_FALSE(n.curlAddTaskOnce(STATUS));
  EXPECT_FALSE(n.curlAddTaskOnce(GETDATA));
  EXPECT_TRUE(n.curlAddTask(POWERON));
  EXPECT_TRUE(n.curlAddTask(POWERON));
  EXPECT_EQ(n.curlTasks.size(), 4u);
  EXPECT_EQ(n.curlNext(), STATUS);
  EXPECT_TRUE(n.curlAddTaskOnce(STATUS));  // no longer queued
}

TEST_F(OpenBmcNodeTest, WorkerSkipsUnknownCodesAndEndsAtQuit) {
  n.curlAddTask(42);
  n.curlAddTask(-1);
  n.curlAddTask(NONE);
  runworker();
  EXPECT_EQ(url[0], '\0');  // nothing was sent
  EXPECT_EQ(n.curlNext(), NONE);
}

TEST_F(OpenBmcNodeTest, TaskWithoutSessionLogsInOnceAndIsDroppedOnFailure) {
  n.curlLoggedIn = false;
  n.curlAddTask(STATUS);
  runworker();
  // The login was tried and failed; the status request was never formed.
  EXPECT_STREQ(url, "https://127.0.0.1:0-ipmi/login");
  EXPECT_NE(n.res, CURLE_OK);
  EXPECT_FALSE(n.curlLoggedIn);
  EXPECT_FALSE(n.curlInLogin);
  EXPECT_STREQ(data, "{\"data\": [ \"root\", \"0penBmc\" ] }");
}

TEST_F(OpenBmcNodeTest, StatusIsHeldBackForTwentySecondsAfterPowerOn) {
  n.curlLoggedIn = true;
  n.curlAddTask(POWERON);
  n.curlAddTask(STATUS);
  runworker();
  EXPECT_EQ(n.curlLastPwrOnCmd, fixedclock());
  // The power-on URL is the last one formed: the status task was dropped.
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/host0/attr/"
               "RequestedHostTransition");

  n.curlLastPwrOnCmd = fixedclock() - 19;
  n.curlAddTask(STATUS);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/host0/attr/"
               "RequestedHostTransition");

  n.curlLastPwrOnCmd = fixedclock() - 20;
  n.curlAddTask(STATUS);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/chassis0");
}

TEST_F(OpenBmcNodeTest, PowerOffAndResetGoToTheirTransitionAttributes) {
  n.curlLoggedIn = true;
  n.curlAddTask(POWEROFF);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/chassis0/"
               "attr/RequestedPowerTransition");
  n.curlAddTask(RESET);
  runworker();
  EXPECT_STREQ(url,
               "https://127.0.0.1:0-ipmi/xyz/openbmc_project/state/host0/attr/"
               "RequestedHostTransition");
  EXPECT_EQ(n.curlLastPwrOnCmd, 0);  // only a power-on holds status back
}

TEST_F(OpenBmcNodeTest, LoginReplySetsSessionAndLiveness) {
  EXPECT_EQ(feed(node::curlVerifyLogin, "{\n  \"status\": \"ok\"\n}"), 20u);
  EXPECT_TRUE(n.curlLoggedIn);
  EXPECT_FALSE(n.dead);
  feed(node::curlVerifyLogin, "{\n  \"status\": \"error\"\n}");
  EXPECT_FALSE(n.curlLoggedIn);
  EXPECT_TRUE(n.dead);
  n.curlLoggedIn = true;
  n.dead = false;
  feed(node::curlVerifyLogin, "Unsupported Media Type");
  EXPECT_FALSE(n.curlLoggedIn);
  EXPECT_TRUE(n.dead);
}

TEST_F(OpenBmcNodeTest, PowerStateRepliesDrivePowerLivenessAndSettling) {
  const std::string prefix =
      "{\"data\": {\"CurrentPowerState\": "
      "\"xyz.openbmc_project.State.Chassis.PowerState.";
  n.firsttime = 5;
  n.lastupdate = 7;
  feed(node::curlPowerStatus, prefix + "On\"}}");
  // Off before: the settling time restarts now.
  EXPECT_TRUE(n.power);
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, fixedclock());
  EXPECT_EQ(n.lastupdate, 0);

  n.firsttime = 5;
  feed(node::curlPowerStatus, prefix + "On\"}}");
  EXPECT_EQ(n.firsttime, 5);  // already on: keeps running

  feed(node::curlPowerStatus, prefix + "Off\"}}");
  EXPECT_FALSE(n.power);
  EXPECT_FALSE(n.dead);

  n.power = true;
  n.curlLoggedIn = true;
  EXPECT_EQ(feed(node::curlPowerStatus, "{\"status\": \"error\"}"), 19u);
  EXPECT_FALSE(n.power);
  EXPECT_TRUE(n.dead);
  EXPECT_FALSE(n.curlLoggedIn);  // the next task logs in again
}

TEST_F(OpenBmcNodeTest, SensorReplyWithoutScaleEndsTheSession) {
  n.curlLoggedIn = true;
  n.dead = false;
  n.curlCurSens = "Inlet";
  feed(node::curlGetData,
       "{\"data\": {\"description\": \"Login required\"}, \"status\": "
       "\"error\"}");
  EXPECT_TRUE(n.dead);
  EXPECT_FALSE(n.curlLoggedIn);
}

TEST_F(OpenBmcNodeTest, SensorReadingsStartSettlingOnlyWhenPositive) {
  n.curlCurSens = "Inlet";
  feed(node::curlGetData, "{\"Scale\": -3, \"Value\": -2500}");
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, 0);
  feed(node::curlGetData, "{\"Scale\": -3, \"Value\": 0}");
  EXPECT_EQ(n.firsttime, 0);
  n.dead = true;
  feed(node::curlGetData, "{\"Scale\": -3}");  // no value: alive, no reading
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, 0);
  feed(node::curlGetData, "{\"Scale\": -3, \"Value\": 21500}");
  EXPECT_EQ(n.firsttime, fixedclock());
}

TEST_F(OpenBmcNodeTest, UploadHandlerCopiesTheBodyWithinTheBuffer) {
  const char body[] =
      "{\"data\": \"xyz.openbmc_project.State.Host.Transition.On\"}";
  char buffer[100];
  EXPECT_EQ(
      node::curlSendCommand(buffer, 1, sizeof buffer, const_cast<char*>(body)),
      56u);
  EXPECT_EQ(memcmp(buffer, body, 56), 0);
  EXPECT_EQ(node::curlSendCommand(buffer, 1, 10, const_cast<char*>(body)), 10u);
}

// curlInit's worker is detached, so its node must outlive the test.
node initnode;

TEST(OpenBmcInit, MakesTheHandleAndBuffersAndStartsTheWorker) {
  ASSERT_TRUE(initnode.curlInit());
  EXPECT_NE(initnode.curl, nullptr);
  EXPECT_NE(initnode.curlURL, nullptr);
  EXPECT_NE(initnode.curlDATA, nullptr);
  initnode.curlAddTask(QUIT);
  // The worker takes the task: the queue empties without our help.
  bool empty = false;
  for (int i = 0; i < 500 && !empty; i++) {
    {
      std::lock_guard<std::mutex> lock(initnode.curlTaskLock);
      empty = initnode.curlTasks.empty();
    }
    if (!empty) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(empty);
}

}  // namespace

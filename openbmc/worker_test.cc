#include <curl/curl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "model/datastructs.h"
#include "model/globals.h"
#include "openbmc/openbmc.h"
#include "openbmc/replies.h"
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
    savednodaemon = nodaemon;
    nodaemon = 1;  // messages go to stderr as well
  }
  void TearDown() override {
    settestclock(nullptr);
    nodaemon = savednodaemon;
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
  // Judges `reply` as the whole reply of a login, power state or sensor.
  void login(const std::string& reply, long code = 200, bool bycommand = false) {
    l.curlReply = reply;
    l.judgelogin(code, bycommand);
  }
  void powerstate(const std::string& reply) {
    l.curlReply = reply;
    l.judgepowerstate();
  }
  void sensor(const std::string& reply, long code = 200) {
    l.curlReply = reply;
    l.judgesensor(code);
  }
  // Hands `reply` to the write callback in pieces of `piece` bytes.
  bool collect(const std::string& reply, size_t piece) {
    std::string copy = reply;
    for (size_t at = 0; at < copy.size(); at += piece) {
      size_t len = std::min(piece, copy.size() - at);
      if (collectreply(&copy[at], 1, len, &l) != len) return false;
    }
    return true;
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
  int savednodaemon = 0;
};

const char CHASSISON[] =
    "{\n  \"data\": {\n    \"CurrentPowerState\": "
    "\"xyz.openbmc_project.State.Chassis.PowerState.On\", \n    "
    "\"POHCounter\": 12, \n    \"RequestedPowerTransition\": "
    "\"xyz.openbmc_project.State.Chassis.Transition.On\"\n  }, \n  "
    "\"status\": \"ok\"\n}";
const char REFUSED[] =
    "{\n  \"data\": {\n    \"description\": \"Invalid username or "
    "password\"\n  }, \n  \"status\": \"error\"\n}";
const char LOGINURL[] = "https://127.0.0.1:0-ipmi/login";

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

TEST_F(OpenBmcNodeTest, FirstLoginRunsOnTheWorkerBeforeAnyTaskAndItsFailureIsSaid) {
  testing::internal::CaptureStderr();
  l.curlAddTask(QUIT);  // the only task: the login comes of starting
  void* result = &n;
  std::thread worker([&] { result = openbmc_link::curlFirstThread(&l); });
  worker.join();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, nullptr);
  EXPECT_STREQ(url, "https://127.0.0.1:0-ipmi/login");
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_FALSE(l.curlInLogin);
  EXPECT_NE(l.res, CURLE_OK);
  EXPECT_NE(err.find(std::string("OpenBMC login on 127.0.0.1:0-ipmi failed: ") +
                     curl_easy_strerror(l.res) + ".\nIs the node available?\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(next(), NONE);
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
  login("{\n  \"status\": \"ok\"\n}");
  EXPECT_TRUE(l.curlLoggedIn);
  EXPECT_FALSE(n.dead);
  login("{\n  \"status\": \"error\"\n}");
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_TRUE(n.dead);
  EXPECT_EQ(l.curlPacer.refusals, 0);  // not refused: no back-off
  l.curlLoggedIn = true;
  n.dead = false;
  login("Unsupported Media Type", 415);
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_TRUE(n.dead);
  EXPECT_EQ(l.curlPacer.refusals, 0);
}

TEST_F(OpenBmcNodeTest, AReplyIsJudgedWholeInWhateverPiecesItArrives) {
  l.curlLoggedIn = true;
  // A piece without the power state after one with it kept the node dead.
  ASSERT_TRUE(collect(CHASSISON, 40));
  l.judgepowerstate();
  EXPECT_TRUE(n.power);
  EXPECT_FALSE(n.dead);
  EXPECT_TRUE(l.curlLoggedIn);

  l.curlReply.clear();
  l.curlCurSens = "Inlet";
  ASSERT_TRUE(collect("{\"Scale\": -3, \"Value\": 21500}", 5));
  l.judgesensor(200);
  EXPECT_EQ(n.firsttime, fixedclock());  // a positive reading came through

  // The bound: a reply of OPENBMCMAXREPLY bytes is taken, not one more.
  l.curlReply.clear();
  EXPECT_TRUE(collect(std::string(OPENBMCMAXREPLY, ' '), 1 << 16));
  EXPECT_FALSE(l.curlReplyTooLong);
  EXPECT_FALSE(collect("x", 1));
  EXPECT_TRUE(l.curlReplyTooLong);
  EXPECT_EQ(l.curlReply.size(), OPENBMCMAXREPLY);
  // A cut-off power state is said once, by the transfer alone; the node is
  // left to the staleness rules.
  testing::internal::CaptureStderr();
  l.judgepowerstate();
  EXPECT_FALSE(n.dead);
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Each test below makes one failed login only: libcurl loses a handle's
// pending cookie set-up when the handle is reset after a transfer that
// failed before it started (a leak the sanitizer build would report).
TEST_F(OpenBmcNodeTest, RefusedLoginsHoldThePollsLoginsBackEverLonger) {
  testing::internal::CaptureStderr();
  login(REFUSED, 401);  // the first login, on the main thread
  EXPECT_TRUE(n.dead);
  // The poll's status tasks find no session and may not log in yet.
  l.curlAddTask(STATUS);
  testclock::advance(29);
  l.curlAddTask(STATUS);
  runworker();
  EXPECT_EQ(url[0], '\0');
  testclock::advance(1);
  l.curlAddTask(STATUS);
  runworker();
  EXPECT_STREQ(url, LOGINURL);
  // Refused again: the next waits 60 s, and the refusal is not said again.
  login(REFUSED, 403);
  url[0] = '\0';
  testclock::advance(59);
  l.curlAddTask(STATUS);
  runworker();
  EXPECT_EQ(url[0], '\0');
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Login to 127.0.0.1:0 failed\n");
}

TEST_F(OpenBmcNodeTest, ACommandLogsInAtOnceAndEachOfItsRefusalsIsSaid) {
  testing::internal::CaptureStderr();
  login(REFUSED, 401);
  l.curlAddTask(POWERON);
  runworker();
  EXPECT_STREQ(url, LOGINURL);
  login(REFUSED, 401, true);
  EXPECT_EQ(l.curlPacer.refusals, 2);
  login("{\"status\": \"ok\"}");
  EXPECT_TRUE(l.curlLoggedIn);
  // A new refusal is news again.
  login("{\"status\": \"error\", \"data\": \"account locked\"}", 200);
  EXPECT_EQ(l.curlPacer.refusals, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Login to 127.0.0.1:0 failed\n"
            "Login to 127.0.0.1:0 failed\n"
            "Login to 127.0.0.1:0 accepted again after 2 refused logins\n"
            "Login to 127.0.0.1:0 failed\n");
}

TEST_F(OpenBmcNodeTest, AFailureIsSaidOnceAMinuteWithTheCountHeldBack) {
  testing::internal::CaptureStderr();
  powerstate("<html>502 Bad Gateway</html>");
  powerstate("<html>503</html>");  // another excerpt, the same failure
  l.curlCurSens = "Inlet";
  sensor("{\"Scale\": -3}");
  testclock::advance(59);
  powerstate("<html>504</html>");
  sensor("{\"Scale\": -3}");
  testclock::advance(1);
  powerstate("x");
  l.curlCurSens = "Outlet";
  sensor("{\"Scale\": -3}");
  EXPECT_EQ(
      testing::internal::GetCapturedStderr(),
      "Could not determine power status from 127.0.0.1:0: <html>502 Bad "
      "Gateway</html>\n"
      "Could not find \"Value\" in openbmc sensor data for sensor Inlet on "
      "127.0.0.1:0\n"
      "Could not determine power status from 127.0.0.1:0: x\n"
      "(2 more since it was last said)\n"
      "Could not find \"Value\" in openbmc sensor data for sensor Outlet on "
      "127.0.0.1:0\n");
}

TEST_F(OpenBmcNodeTest, PowerStateRepliesDrivePowerLivenessAndSettling) {
  const std::string prefix =
      "{\"data\": {\"CurrentPowerState\": "
      "\"xyz.openbmc_project.State.Chassis.PowerState.";
  n.firsttime = 5;
  n.lastupdate = 7;
  powerstate(prefix + "On\"}}");
  // Off before: the settling time restarts now.
  EXPECT_TRUE(n.power);
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, fixedclock());
  EXPECT_EQ(n.lastupdate, 0);

  n.firsttime = 5;
  powerstate(prefix + "On\"}}");
  EXPECT_EQ(n.firsttime, 5);  // already on: keeps running

  powerstate(prefix + "Off\"}}");
  EXPECT_FALSE(n.power);
  EXPECT_FALSE(n.dead);

  // A reply without a power state changes nothing in the node by itself.
  powerstate(prefix + "On\"}}");
  l.curlLoggedIn = true;
  powerstate("{\"status\": \"error\"}");
  EXPECT_TRUE(n.power);
  EXPECT_FALSE(n.dead);
  EXPECT_FALSE(l.curlLoggedIn);  // the next task logs in again
}

TEST_F(OpenBmcNodeTest, SensorReplyWithoutScaleEndsTheSession) {
  l.curlLoggedIn = true;
  n.dead = false;
  l.curlCurSens = "Inlet";
  sensor(
       "{\"data\": {\"description\": \"Login required\"}, \"status\": "
       "\"error\"}");
  EXPECT_FALSE(n.dead);  // only a refused login makes it so
  EXPECT_FALSE(l.curlLoggedIn);
}

TEST_F(OpenBmcNodeTest, TotalPowerIsAskedForUntilTheBmcSaysItHasNone) {
  const std::string total = "{\"data\": {\"Scale\": -6, \"Value\": 231000000}}";
  login("{\"status\": \"ok\"}");
  EXPECT_TRUE(l.curlWatts);
  l.curlReply = total;
  l.judgewatts(200);
  EXPECT_EQ(n.watts, 231.0);
  // An expired session is no answer about the sensor.
  l.curlReply = "{\"data\": {\"description\": \"Login required\"}}";
  l.judgewatts(401);
  EXPECT_FALSE(l.curlLoggedIn);
  EXPECT_TRUE(l.curlWatts);
  EXPECT_EQ(n.watts, 231.0);
  // Gone: its last figure goes too, and it is asked for after a login only.
  testing::internal::CaptureStderr();
  l.curlReply = "{\"data\": {\"description\": \"not found\"}}";
  l.judgewatts(404);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(l.curlWatts);
  EXPECT_LT(n.watts, 0.0);
  login("{\"status\": \"ok\"}");
  EXPECT_TRUE(l.curlWatts);
}

TEST_F(OpenBmcNodeTest, SensorReadingsStartSettlingOnlyWhenPositive) {
  l.curlCurSens = "Inlet";
  sensor("{\"Scale\": -3, \"Value\": -2500}");
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, 0);
  sensor("{\"Scale\": -3, \"Value\": 0}");
  EXPECT_EQ(n.firsttime, 0);
  n.dead = true;
  sensor("{\"Scale\": -3}");  // no value: alive, no reading
  EXPECT_FALSE(n.dead);
  EXPECT_EQ(n.firsttime, 0);
  sensor("{\"Scale\": -3, \"Value\": 21500}");
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

#include "model/shutdown.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "alerts/alerts.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "tests/unit/testclock.h"

namespace {

std::string readfile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Three shutdowns at once under a clock running 25 times faster than real
// time: an ssh client that ends at once, one that hangs, and a node name
// that ssh would take for an option, so it is never run.
TEST(AutomaticShutdown, SshAtOncePowerOffAfter100sOr115sWhenSshHangs) {
  char dir[] = "/tmp/kestrel-shutdown-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string log = std::string(dir) + "/ssh.log";
  std::string script = std::string(dir) + "/ssh";
  {
    std::ofstream f(script);
    f << "#!/bin/sh\n"
      << "case \"$1\" in hang*) echo \"$$ $*\" >> " << log
      << "; exec sleep 1000;; esac\n"
      << "echo \"$*\" >> " << log << "\n";
  }
  chmod(script.c_str(), 0755);
  std::string path = script;
  sshpath = path.c_str();
  connectalerts();

  node& quick = mycluster.mynodes[MAXNODES - 3];
  node& hang = mycluster.mynodes[MAXNODES - 4];
  node& dash = mycluster.mynodes[MAXNODES - 5];
  quick.name = const_cast<char*>("quick01");
  hang.name = const_cast<char*>("hang01");
  dash.name = const_cast<char*>("-oProxyCommand=x");
  static const double limits[4] = {1, 2, 3, 4};
  pendingalerts.add(FAN, &quick, 0, 9, limits);
  pendingalerts.add(FAN, &hang, 0, 9, limits);
  pendingalerts.add(FAN, &dash, 0, 9, limits);

  testclock::fixed = 1700000000;
  testclock::startfast(25);
  settestclock(testclock::fastclock);
  testing::internal::CaptureStderr();
  int savedmode = nodaemon;
  nodaemon = 1;
  const time_t start = nowtime();
  quick.shutdown();
  hang.shutdown();
  dash.shutdown();
  EXPECT_TRUE(quick.inShutdown && hang.inShutdown && dash.inShutdown);
  quick.shutdown();  // already under way: nothing more

  std::map<std::string, time_t> poweroff;
  time_t sshran = 0, quickalertsgone = 0, hangalertsgone = 0;
  auto hasalerts = [](node* n) {
    holding<flaglock> hold(alertlock);
    bool any = false;
    for (const alert& a : pendingalerts.myalerts) any = any || a.matches(n);
    return any;
  };
  while (poweroff.size() < 3 && nowtime() - start < 140) {
    time_t now = nowtime();
    if (!sshran && readfile(log).find("quick01") != std::string::npos)
      sshran = now;
    if (!quickalertsgone && !hasalerts(&quick)) quickalertsgone = now;
    if (!hangalertsgone && !hasalerts(&hang)) hangalertsgone = now;
    {
      holding<lockable> hold(mycluster.poweroffLock);
      for (const std::string& name : mycluster.poweroffQueue)
        if (name == quick.name || name == hang.name || name == dash.name)
          poweroff.emplace(name, now);
    }
    usleep(10000);
  }
  nodaemon = savedmode;
  std::string messages = testing::internal::GetCapturedStderr();
  settestclock(nullptr);

  ASSERT_EQ(poweroff.size(), 3u) << messages;
  EXPECT_NEAR(sshran - start, 0, 2);
  EXPECT_NEAR(quickalertsgone - start, 0, 2);
  EXPECT_NEAR(poweroff["quick01"] - start, 100, 3);
  EXPECT_NEAR(poweroff["-oProxyCommand=x"] - start, 100, 3);
  EXPECT_NEAR(poweroff["hang01"] - start, 115, 3);
  EXPECT_NEAR(hangalertsgone - start, 70, 3);  // its ssh was killed at 70 s
  for (int i = 0;
       i < 100 && (quick.inShutdown || hang.inShutdown || dash.inShutdown); i++)
    usleep(10000);
  EXPECT_FALSE(quick.inShutdown || hang.inShutdown || dash.inShutdown);

  std::string calls = readfile(log);
  EXPECT_NE(calls.find("quick01 /sbin/poweroff\n"), std::string::npos);
  EXPECT_EQ(calls.find("ProxyCommand"), std::string::npos);
  size_t hangline = calls.find(" hang01 /sbin/poweroff\n");
  ASSERT_NE(hangline, std::string::npos);
  size_t linestart = calls.rfind('\n', hangline);
  int hangpid = atoi(
      calls.substr(linestart == std::string::npos ? 0 : linestart + 1).c_str());
  ASSERT_GT(hangpid, 0);
  EXPECT_EQ(kill(hangpid, 0), -1);  // killed and reaped
  EXPECT_EQ(errno, ESRCH);

  EXPECT_NE(messages.find("quick01 being shutdown automatically\n"),
            std::string::npos);
  EXPECT_NE(messages.find("Safely shutting down quick01 with this command: " +
                          path + " quick01 /sbin/poweroff\n"),
            std::string::npos);
  EXPECT_NE(messages.find("Failed to send rsh poweroff\n"), std::string::npos);
  EXPECT_NE(messages.find("Completing auto-shutdown of hang01 with an IPMI "
                          "power off to ensure it is completely down.\n"),
            std::string::npos);

  // The main thread drains the queue at its next pass.
  mycluster.runqueuedpoweroffs();
  {
    holding<lockable> hold(mycluster.poweroffLock);
    EXPECT_TRUE(mycluster.poweroffQueue.empty());
  }
  sshpath = "/usr/bin/ssh";
  unlink(log.c_str());
  unlink(script.c_str());
  rmdir(dir);
}

}  // namespace

#include "ipmi/lookup.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Helper threads outlive a test; what they touch is static.
std::mutex gate;
std::condition_variable gatechange;
int arrived = 0;
bool released = false;
std::atomic<int> calls{0};

// Answers only once four look-ups run at the same time: look-ups made one
// after the other fail.
int needsfourtogether(const std::string& host, std::string* address) {
  std::unique_lock<std::mutex> hold(gate);
  arrived++;
  gatechange.notify_all();
  if (!gatechange.wait_for(hold, std::chrono::seconds(10),
                           [] { return arrived >= 4; }))
    return EAI_AGAIN;
  *address = "10.0.0." + host.substr(host.size() - 1);
  return 0;
}

int fails(const std::string&, std::string*) {
  calls++;
  return EAI_NONAME;
}

int blocks(const std::string&, std::string* address) {
  std::unique_lock<std::mutex> hold(gate);
  gatechange.wait(hold, [] { return released; });
  *address = "10.0.0.9";
  return 0;
}

TEST(IpmiLookup, LookupsOfAllNodesRunTogether) {
  for (int i = 1; i <= 4; i++)
    startlookup("together" + std::to_string(i), needsfourtogether);
  for (int i = 1; i <= 4; i++) {
    std::string address;
    EXPECT_TRUE(lookedup("together" + std::to_string(i), &address));
    EXPECT_EQ(address, "10.0.0." + std::to_string(i));
  }
}

TEST(IpmiLookup, FailedUnstartedOrUnfinishedLookupsLeaveTheNameToOpenIpmi) {
  std::string address = "untouched";
  startlookup("ghost", fails);
  startlookup("ghost", fails);  // already started: not made again
  EXPECT_FALSE(lookedup("ghost", &address));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(lookedup("never-started", &address));
  startlookup("slow", blocks);
  EXPECT_FALSE(lookedup("slow", &address, 0));  // no wait left
  EXPECT_EQ(address, "untouched");
  {
    std::lock_guard<std::mutex> hold(gate);
    released = true;
  }
  gatechange.notify_all();
  EXPECT_TRUE(lookedup("slow", &address));
  EXPECT_EQ(address, "10.0.0.9");
}

TEST(IpmiLookup, ResolvesToANumericAddress) {
  std::string address;
  ASSERT_EQ(resolvehost("localhost", &address), 0);
  EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
  EXPECT_EQ(resolvehost("127.0.0.5", &address), 0);
  EXPECT_EQ(address, "127.0.0.5");
}

}  // namespace

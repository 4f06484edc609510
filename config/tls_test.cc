#include "config/tls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

namespace {

TEST(BmcUrl, PathsAndTheBmcsOwnUrlsStayOnTheBmc) {
  std::string url;
  ASSERT_TRUE(bmcurl("web-ipmi", "/redfish/v1/Chassis/1U/Sensors?$expand=.($levels=1)", &url));
  EXPECT_EQ(url, "https://web-ipmi/redfish/v1/Chassis/1U/Sensors?$expand=.($levels=1)");
  // A Location of the BMC's own origin, default port written out or not.
  ASSERT_TRUE(bmcurl("web-ipmi", "https://WEB-ipmi:443/redfish/v1/SessionService/Sessions/7", &url));
  EXPECT_EQ(url, "https://WEB-ipmi:443/redfish/v1/SessionService/Sessions/7");
  EXPECT_TRUE(bmcurl("web-ipmi", "https://web-ipmi/x#frag", &url));
  EXPECT_EQ(url, "https://web-ipmi/x");
}

TEST(BmcUrl, AnythingThatLeavesTheBmcIsRefused) {
  const char* const leaving[] = {
      "@127.0.0.66:8443/redfish/v1/SessionService/Sessions",
      "//127.0.0.66/redfish/v1/", "/\\127.0.0.66/redfish/v1/",
      "https://127.0.0.66/redfish/v1/", "https://web-ipmi:8443/redfish/v1/",
      "http://web-ipmi/redfish/v1/", "https://user:pw@web-ipmi/redfish/v1/",
      "file:///etc/shadow", "redfish/v1/Systems", "",
      "/redfish/v1/Systems/1\nnode07 being shutdown automatically",
      "/redfish/v1/\r"};
  for (const char* ref : leaving) {
    std::string url = "unchanged";
    EXPECT_FALSE(bmcurl("web-ipmi", ref, &url)) << ref;
    EXPECT_EQ(url, "unchanged") << ref;
  }
  EXPECT_FALSE(bmcurl("web-ipmi", std::string("/a\0b", 4), nullptr));
}

TEST(PeerText, ControlCharactersAreEscapedAndLongTextCut) {
  EXPECT_EQ(peertext("/Systems/1\nnode07 shut\x7f\\"),
            "/Systems/1\\x0anode07 shut\\x7f\\x5c");
  EXPECT_EQ(peertext(std::string(500, 'a'), 10), "aaaaaaaaaa...");
  EXPECT_EQ(peertext("plain"), "plain");
}

TEST(TransferError, ALackOfDescriptorsIsNamedNotCalledAFailedLookup) {
  CURL* c = curl_easy_init();
  ASSERT_NE(c, nullptr);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_URL, "https://localhost:1/");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
  struct rlimit was;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  // Every descriptor below the new limit is taken.
  int probe = open("/dev/null", O_RDONLY);
  ASSERT_GE(probe, 0);
  struct rlimit tight = {static_cast<rlim_t>(probe), was.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  CURLcode res = curl_easy_perform(c);
  std::string starved = transfererror(c, res);
  setrlimit(RLIMIT_NOFILE, &was);
  close(probe);
  EXPECT_NE(res, CURLE_OK);
  EXPECT_EQ(starved, "no file descriptor left (Too many open files)");
  // With descriptors to spare the same refusal reads as libcurl's.
  res = curl_easy_perform(c);
  EXPECT_STREQ(transfererror(c, res), curl_easy_strerror(res));
  curl_easy_cleanup(c);
}

}  // namespace

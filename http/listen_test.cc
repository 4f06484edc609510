#include "http/listen.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

TEST(ParseListen, TakesNumericIpv4AndBracketedIpv6) {
  listenaddr a;
  ASSERT_TRUE(parselisten("127.0.0.1:9180", a));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.addr);
  EXPECT_EQ(a.len, sizeof(sockaddr_in));
  EXPECT_EQ(v4->sin_family, AF_INET);
  EXPECT_EQ(ntohs(v4->sin_port), 9180);
  EXPECT_EQ(ntohl(v4->sin_addr.s_addr), 0x7f000001u);

  ASSERT_TRUE(parselisten("[::1]:65535", a));
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.addr);
  EXPECT_EQ(a.len, sizeof(sockaddr_in6));
  EXPECT_EQ(v6->sin6_family, AF_INET6);
  EXPECT_EQ(ntohs(v6->sin6_port), 65535);
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr));
}

TEST(ParseListen, RefusesEverythingElseAndKeepsTheOldValue) {
  listenaddr a;
  ASSERT_TRUE(parselisten("0.0.0.0:1", a));
  for (const char* bad :
       {"", "127.0.0.1", "127.0.0.1:", ":9180", "127.0.0.1:0",
        "127.0.0.1:65536", "127.0.0.1:91a0", "127.0.0.1:+80", "127.1:9180",
        "localhost:9180", "::1:9180", "[::1]9180", "[]:9180", "[127.0.0.1]:80",
        "127.0.0.1:9180 ", " 127.0.0.1:9180", "[::1]:123456"})
    EXPECT_FALSE(parselisten(bad, a)) << bad;
  EXPECT_EQ(a.len, sizeof(sockaddr_in));
  EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(&a.addr)->sin_port), 1);
}

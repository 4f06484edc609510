#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "ipmi/openipmi.h"

namespace {

TEST(NameSplitting, SensorFullNamesGiveNodeAndTrimmedSensorName) {
  char node[128], sensor[128];
  char full[128] = "node17(7.1).CPU Temp";
  EXPECT_TRUE(sensor_nodenameonly(node, full));
  EXPECT_STREQ(node, "node17");
  EXPECT_TRUE(sensor_nameonly(sensor, full));
  EXPECT_STREQ(sensor, "CPU Temp");

  char padded[128] = "node17(7.1).  P1 VCORE  ";
  EXPECT_TRUE(sensor_nameonly(sensor, padded));
  EXPECT_STREQ(sensor, "P1 VCORE");
  // The trailing blanks are cut from the full name itself.
  EXPECT_STREQ(padded, "node17(7.1).  P1 VCORE");
}

TEST(NameSplitting, OnlyTheFirstParenthesesDelimitTheNames) {
  char node[128], sensor[128];
  char full[128] = "rack(2)(10.1).PSU1 (left)";
  EXPECT_TRUE(sensor_nodenameonly(node, full));
  EXPECT_STREQ(node, "rack");
  EXPECT_TRUE(sensor_nameonly(sensor, full));
  // One character after the first ")" is skipped, whatever it is.
  EXPECT_STREQ(sensor, "10.1).PSU1 (left)");

  char bmc[128] = "node01(0.20)";
  EXPECT_TRUE(sensor_nodenameonly(node, bmc));
  EXPECT_STREQ(node, "node01");
}

TEST(NameSplitting, NamesWithoutParenthesesOrSensorPartFail) {
  char node[128], sensor[128] = "unchanged";
  char plain[128] = "node17";
  EXPECT_FALSE(sensor_nodenameonly(node, plain));
  EXPECT_STREQ(node, "node17");
  EXPECT_FALSE(sensor_nameonly(sensor, plain));

  char nothing[128] = "node17(7.1)";
  EXPECT_FALSE(sensor_nameonly(sensor, nothing));
  char stop[128] = "node17(7.1).";
  EXPECT_FALSE(sensor_nameonly(sensor, stop));
  EXPECT_STREQ(sensor, "unchanged");

  char blank[128] = "node17(7.1).   ";
  EXPECT_TRUE(sensor_nameonly(sensor, blank));
  EXPECT_STREQ(sensor, "");

  char empty[128] = "";
  EXPECT_FALSE(sensor_nodenameonly(node, empty));
  EXPECT_STREQ(node, "");
}

}  // namespace

TEST(NameSplitting, IpmiNodeNamesMustFitTheDomainName) {
  std::string name(IPMI_DOMAIN_NAME_LEN, 'n');
  EXPECT_TRUE(
      fitsdomainname(std::string(IPMI_DOMAIN_NAME_LEN - 1, 'n').c_str()));
  EXPECT_FALSE(fitsdomainname(name.c_str()));
}

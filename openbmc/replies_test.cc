#include "openbmc/replies.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>

namespace {

// Reply bodies as the BMC's REST server writes them: two-space indent, a
// space after every comma (so lines end in ", "), no final newline.
const std::string kLoginOk =
    "{\n  \"data\": \"User 'root' logged in\", \n  \"message\": \"200 OK\", "
    "\n  \"status\": \"ok\"\n}";
const std::string kLoginRefused =
    "{\n  \"data\": {\n    \"description\": \"Invalid username or "
    "password\"\n  }, \n  \"message\": \"401 Unauthorized\", \n  \"status\": "
    "\"error\"\n}";
const std::string kLoginRequired =
    "{\n  \"data\": {\n    \"description\": \"Login required\"\n  }, \n  "
    "\"message\": \"401 Unauthorized\", \n  \"status\": \"error\"\n}";

std::string chassisstate(const std::string& state) {
  return "{\n  \"data\": {\n    \"CurrentPowerState\": "
         "\"xyz.openbmc_project.State.Chassis.PowerState." +
         state +
         "\", \n    \"LastStateChangeTime\": 1565798400000, \n    "
         "\"POHCounter\": 12, \n    \"RequestedPowerTransition\": "
         "\"xyz.openbmc_project.State.Chassis.Transition.On\"\n  }, \n  "
         "\"message\": \"200 OK\", \n  \"status\": \"ok\"\n}";
}

std::string sensor(const std::string& scale, const std::string& value) {
  return "{\n  \"data\": {\n    \"CriticalAlarmHigh\": false, \n    "
         "\"CriticalHigh\": 65000, \n    \"Scale\": " +
         scale +
         ", \n    \"Unit\": "
         "\"xyz.openbmc_project.Sensor.Value.Unit.DegreesC\", "
         "\n    \"Value\": " +
         value +
         ", \n    \"WarningHigh\": 63000\n  }, \n  \"message\": \"200 "
         "OK\", \n  \"status\": \"ok\"\n}";
}

int login(const std::string& s) { return loginreply(s.data(), s.size()); }
int power(const std::string& s) { return powerstatereply(s.data(), s.size()); }

TEST(OpenBmcReplies, LoginStatusIsJudgedByItsFirstTwoCharacters) {
  EXPECT_EQ(login(kLoginOk), LOGIN_OK);
  EXPECT_EQ(login(kLoginRefused), LOGIN_REFUSED);
  EXPECT_EQ(login("\"status\": \"okay\""), LOGIN_OK);
  EXPECT_EQ(login("\"status\":\"ok\""), LOGIN_NOSTATUS);  // no space: unknown
  EXPECT_EQ(login("<html>502 Bad Gateway</html>"), LOGIN_NOSTATUS);
  EXPECT_EQ(login(""), LOGIN_NOSTATUS);
}

TEST(OpenBmcReplies, ALoginIsRefusedBy401Or403OrALockedAccount) {
  auto refused = [](long code, const std::string& s) {
    return loginrefused(code, s.data(), s.size());
  };
  EXPECT_TRUE(refused(401, kLoginRefused));
  EXPECT_TRUE(refused(403, ""));
  EXPECT_TRUE(refused(200, "{\"status\": \"error\", \"data\": \"Account "
                           "locked\"}"));
  EXPECT_TRUE(refused(500, "User account is Locked"));
  EXPECT_FALSE(refused(200, kLoginRefused));  // failed, not refused
  EXPECT_FALSE(refused(502, "<html>502 Bad Gateway</html>"));
  EXPECT_FALSE(refused(200, "{\"data\": \"unlocked\", \"status\": \"ok\"}"));
}

TEST(OpenBmcReplies, PowerStateReadsOnOffOrNothing) {
  EXPECT_EQ(power(chassisstate("On")), POWERSTATE_ON);
  EXPECT_EQ(power(chassisstate("Off")), POWERSTATE_OFF);
  EXPECT_EQ(power(chassisstate("Standby")), POWERSTATE_UNKNOWN);
  EXPECT_EQ(power(kLoginRequired), POWERSTATE_UNKNOWN);
}

TEST(OpenBmcReplies, SearchesStayWithinTheDeliveredBytes) {
  // The bytes after the piece hold what the search wants; a search that ran
  // on past the piece would find it.
  std::string s = kLoginOk;
  size_t cut = s.find("ok\"") + 1;  // piece ends between 'o' and 'k'
  EXPECT_EQ(loginreply(s.data(), cut), LOGIN_REFUSED);
  EXPECT_EQ(loginreply(s.data(), s.find("\"status")), LOGIN_NOSTATUS);

  std::string on = chassisstate("On");
  EXPECT_EQ(powerstatereply(on.data(), on.find("On\"") + 1),
            POWERSTATE_UNKNOWN);
  EXPECT_EQ(powerstatereply(on.data(), on.find("On\"") + 2), POWERSTATE_ON);

  std::string reading = sensor("-3", "12150");
  double r = -1;
  // Cut right after "Value": — the number lies beyond the piece.
  size_t value = reading.find("\"Value\":") + 8;
  ASSERT_EQ(sensorreply(reading.data(), value, &r), SENSOR_READING);
  EXPECT_EQ(r, 0.0);
  EXPECT_EQ(sensorreply(reading.data(), value - 1, &r), SENSOR_NOVALUE);
  EXPECT_EQ(sensorreply(reading.data(), reading.find("\"Scale"), &r),
            SENSOR_NOSCALE);

  EXPECT_EQ(findreplytext(nullptr, 0, "x"), nullptr);
  EXPECT_EQ(readreplyinteger(reading.data(), reading.data()), 0);
}

TEST(OpenBmcReplies, AQuotedReplyIsOneBoundedLineOfItsOwnBytes) {
  const std::string forged =
      "{\"x\": \"y\"}\nnode07 being shutdown automatically\r\x01";
  // Bytes after the piece must not be quoted.
  EXPECT_EQ(replytext((forged + "AFTER").data(), forged.size()),
            "{\"x\": \"y\"}\\x0anode07 being shutdown automatically"
            "\\x0d\\x01");

  const std::string flood(5000, 'a');
  EXPECT_EQ(replytext(flood.data(), flood.size()), std::string(160, 'a') + "...");
  EXPECT_EQ(replytext(flood.data(), 160), std::string(160, 'a'));
}

TEST(OpenBmcReplies, SensorReadingsAreScaledByNegativeScalesOnly) {
  struct {
    const char* scale;
    const char* value;
    double reading;
  } cases[] = {
      {"-3", "12150", 12.15}, {"0", "45", 45.0},     {"3", "5400", 5400.0},
      {"-3", "4500.5", 4.5},  {"-3", "-2500", -2.5}, {"-6", "1500000", 1.5},
      {"-3", "0", 0.0},
  };
  for (const auto& c : cases) {
    double r = -1;
    std::string s = sensor(c.scale, c.value);
    ASSERT_EQ(sensorreply(s.data(), s.size(), &r), SENSOR_READING) << s;
    EXPECT_DOUBLE_EQ(r, c.reading) << c.scale << " " << c.value;
  }
  double r;
  EXPECT_EQ(sensorreply(kLoginRequired.data(), kLoginRequired.size(), &r),
            SENSOR_NOSCALE);
  std::string novalue = "{\"data\": {\"Scale\": -3, \"Unit\": \"x\"}}";
  EXPECT_EQ(sensorreply(novalue.data(), novalue.size(), &r), SENSOR_NOVALUE);
  // The number is read after skipping one character behind the colon.
  std::string tight = "\"Scale\":-3, \"Value\":1234";
  ASSERT_EQ(sensorreply(tight.data(), tight.size(), &r), SENSOR_READING);
  EXPECT_DOUBLE_EQ(r, 234.0);
}

TEST(OpenBmcReplies, TheTotalPowerSensorReadsInWatts) {
  // phosphor-hwmon's power sensors count microwatts.
  const std::string total =
      "{\n  \"data\": {\n    \"CriticalAlarmHigh\": false, \n    "
      "\"CriticalHigh\": 1500000000, \n    \"Scale\": -6, \n    "
      "\"Unit\": \"xyz.openbmc_project.Sensor.Value.Unit.Watts\", \n    "
      "\"Value\": 245500000, \n    \"WarningHigh\": 1200000000\n  }, "
      "\n  \"message\": \"200 OK\", \n  \"status\": \"ok\"\n}";
  double watts = -1;
  ASSERT_EQ(sensorreply(total.data(), total.size(), &watts), SENSOR_READING);
  EXPECT_DOUBLE_EQ(watts, 245.5);
  const std::string missing =
      "{\n  \"data\": {\n    \"description\": "
      "\"org.freedesktop.DBus.Error.FileNotFound: path or object not found: "
      "/xyz/openbmc_project/sensors/power/total_power\"\n  }, \n  "
      "\"message\": \"404 Not Found\", \n  \"status\": \"error\"\n}";
  EXPECT_EQ(sensorreply(missing.data(), missing.size(), &watts),
            SENSOR_NOSCALE);
}

TEST(OpenBmcReplies, ExtremeNumbersNeitherOverflowNorTrap) {
  std::string big = "99999999999999999999999999";
  EXPECT_EQ(readreplyinteger(big.data(), big.data() + big.size()), LONG_MAX);
  std::string small = "-99999999999999999999999999";
  EXPECT_EQ(readreplyinteger(small.data(), small.data() + small.size()),
            -LONG_MAX);
  EXPECT_DOUBLE_EQ(scaledreading(-12, 5000000000000L), 5.0);
  EXPECT_EQ(scaledreading(-LONG_MAX, 5), 0.0);
  double r;
  std::string s = sensor(small, "12");
  ASSERT_EQ(sensorreply(s.data(), s.size(), &r), SENSOR_READING);
  EXPECT_EQ(r, 0.0);
}

TEST(OpenBmcReplies, LoginBodyIsValidJsonWhateverTheCredentials) {
  char body[4096];
  ASSERT_TRUE(formatloginbody(body, sizeof body, "root", "0penBmc"));
  EXPECT_STREQ(body, "{\"data\": [ \"root\", \"0penBmc\" ] }");
  ASSERT_TRUE(formatloginbody(body, sizeof body, "ad\\min", "pa\"ss\tw\x01"));
  EXPECT_STREQ(body,
               "{\"data\": [ \"ad\\\\min\", \"pa\\\"ss\\tw\\u0001\" ] }");
  // The longest credentials the cluster file allows, all escaped, still fit.
  std::string worst(49, '"');
  ASSERT_TRUE(formatloginbody(body, sizeof body, worst.c_str(), worst.c_str()));
  EXPECT_EQ(strlen(body), strlen("{\"data\": [ \"\", \"\" ] }") + 4 * 49);

  char small[8];
  EXPECT_FALSE(formatloginbody(small, sizeof small, "root", "0penBmc"));
  EXPECT_STREQ(small, "{\"data\"");
}

}  // namespace

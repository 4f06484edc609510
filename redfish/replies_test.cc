#include "redfish/replies.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "model/defines.h"

namespace {

// The layouts of the three kinds of service (DMTF mockup 4-space in schema
// order, bmcweb 2-space sorted, iDRAC/iLO compact) go through the whole
// client in the process tests; here are the details and the hostile input.

TEST(RedfishReplies, ServiceRootDefaultsAndTheNearestResetValue) {
  // Without ExpandQuery or Links.Sessions the sessions sit under the service.
  const std::string compact =
      R"({"Systems":{"@odata.id":"/redfish/v1/Systems"},)"
      R"("SessionService":{"@odata.id":"/redfish/v1/SS"}})";
  redfishroot r;
  std::string error;
  ASSERT_TRUE(readroot(compact.data(), compact.size(), &r, &error));
  EXPECT_EQ(r.expand, REDFISH_EXPAND_NONE);
  EXPECT_EQ(r.sessions, "/redfish/v1/SS/Sessions");
  EXPECT_FALSE(readroot("{}", 2, &r, &error));  // no Systems

  const std::string system =
      R"({"PowerState":"PoweringOn","Actions":{"#ComputerSystem.Reset":)"
      R"({"target":"/t","@Redfish.ActionInfo":"/info"}}})";
  redfishsystem s;
  ASSERT_TRUE(readsystem(system.data(), system.size(), &s, &error));
  EXPECT_EQ(s.power, REDFISH_POWER_CHANGING);
  EXPECT_EQ(s.actioninfo, "/info");
  EXPECT_TRUE(s.allowed.empty());
  std::vector<std::string> bmcweb = {"ForceOff", "ForceOn", "GracefulRestart",
                                     "PowerCycle"};
  EXPECT_STREQ(chooseresettype(POWERON, bmcweb), "ForceOn");
  EXPECT_STREQ(chooseresettype(RESET, bmcweb), "PowerCycle");
  EXPECT_STREQ(chooseresettype(POWEROFF, {"GracefulShutdown"}),
               "GracefulShutdown");
  // A toggle is never taken; nothing listed: the usual value.
  EXPECT_EQ(chooseresettype(POWEROFF, {"PushPowerButton", "Nmi"}), nullptr);
  EXPECT_STREQ(chooseresettype(POWERON, {}), "On");
  EXPECT_EQ(chooseresettype(STATUS, {}), nullptr);
}

redfishreading sensor(const std::string& s) {
  redfishreading r;
  std::string error;
  EXPECT_TRUE(readsensor(s.data(), s.size(), &r, &error)) << error;
  return r;
}

TEST(RedfishReplies, SensorValuesFansByTheirSpeedAndAnyNumberForm) {
  // A bmcweb fan published as a percentage: the speed is SpeedRPM.
  redfishreading fan = sensor(R"({
  "@odata.id": "/redfish/v1/Chassis/chassis/Sensors/fantach_Fan0",
  "Id": "fantach_Fan0",
  "Name": "Fan0",
  "Reading": 43.0,
  "ReadingType": "Percent",
  "ReadingUnits": "%",
  "SpeedRPM": 7200.0,
  "Status": {
    "Health": "OK",
    "State": "Enabled"
  }
})");
  EXPECT_EQ(fan.id, "fantach_Fan0");
  EXPECT_EQ(fan.name, "Fan0");
  EXPECT_EQ(fan.uri, "/redfish/v1/Chassis/chassis/Sensors/fantach_Fan0");
  EXPECT_TRUE(fan.hasvalue);
  EXPECT_EQ(fan.value, 7200.0);
  EXPECT_FALSE(fan.percent);
  EXPECT_EQ(fan.health, 0);
  // Without SpeedRPM the percentage is the reading, and says so.
  redfishreading share =
      sensor(R"({"Name": "CPU #1 Fan Speed", "Reading": 80, "ReadingType":)"
             R"( "Percent", "ReadingUnits": "%"})");
  EXPECT_EQ(share.value, 80.0);
  EXPECT_TRUE(share.percent);

  for (const char* form : {"12", "12.0", "1.2e1", "1.2E+1", "120e-1"})
    EXPECT_EQ(sensor(std::string("{\"Reading\": ") + form + "}").value, 12.0)
        << form;
  // Escapes in names; a null reading; an absent sensor; a fan whose speed is
  // null does not fall back to its percentage; a string is no reading.
  EXPECT_EQ(sensor(R"({"Name": "CPU\u0020Temp \"1\""})").name,
            "CPU Temp \"1\"");
  EXPECT_FALSE(sensor(R"({"Reading": null})").hasvalue);
  EXPECT_TRUE(
      sensor(R"({"Reading": 1, "Status": {"State": "Absent"}})").absent);
  EXPECT_FALSE(sensor(R"({"Reading": 40, "SpeedRPM": null})").hasvalue);
  EXPECT_FALSE(sensor(R"({"Reading": "37"})").hasvalue);
}

TEST(RedfishReplies, ExpandedSensorsThermalPowerAndNameBinding) {
  const std::string expanded = R"({
    "Members": [
        {
            "@odata.id": "/redfish/v1/Chassis/1U/Sensors/CPU1Temp",
            "Id": "CPU1Temp",
            "Name": "CPU #1 Temperature",
            "Reading": 37,
            "ReadingUnits": "Cel"
        },
        {
            "@odata.id": "/redfish/v1/Chassis/1U/Sensors/Temp",
            "Id": "Temp",
            "Name": "CPU1Temp",
            "Reading": 21.5
        }
    ]
})";
  std::vector<redfishreading> list;
  std::string error;
  ASSERT_TRUE(
      readexpandedsensors(expanded.data(), expanded.size(), &list, &error));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].value, 37.0);
  // Name first, then Id: "CPU1Temp" is the second sensor's Name.
  EXPECT_EQ(bindreading("CPU1Temp", list), 1);
  EXPECT_EQ(bindreading("Temp", list), 1);
  EXPECT_EQ(bindreading("CPU #1 Temperature", list), 0);
  EXPECT_EQ(bindreading("cpu #1 temperature", list), -1);
  const std::string links =
      R"({"Members": [{"@odata.id": "/redfish/v1/Chassis/1U/Sensors/CPU1Temp"}]})";
  EXPECT_FALSE(readexpandedsensors(links.data(), links.size(), &list, &error));
  EXPECT_EQ(error, "collection members are not expanded");

  const std::string thermal =
      R"({"Fans":[{"FanName":"System Fan 1","Reading":5880,"ReadingUnits":"RPM",)"
      R"("Status":{"Health":"OK","State":"Enabled"}}],"Temperatures":[{"MemberId":)"
      R"("0","Name":"Inlet Temp","ReadingCelsius":23},{"Name":"CPU1 Temp",)"
      R"("ReadingCelsius":null}]})";
  std::vector<redfishreading> fans, temps;
  ASSERT_TRUE(
      readthermal(thermal.data(), thermal.size(), &fans, &temps, &error));
  ASSERT_EQ(fans.size(), 1u);
  EXPECT_EQ(fans[0].name, "System Fan 1");
  EXPECT_EQ(fans[0].value, 5880.0);
  EXPECT_FALSE(fans[0].percent);
  const std::string ilo =
      R"({"Fans":[{"Name":"Fan 1","Reading":35,"ReadingUnits":"Percent"}]})";
  std::vector<redfishreading> ilofans, ilotemps;
  ASSERT_TRUE(readthermal(ilo.data(), ilo.size(), &ilofans, &ilotemps, &error));
  EXPECT_TRUE(ilofans[0].percent);
  ASSERT_EQ(temps.size(), 2u);
  EXPECT_EQ(temps[0].id, "0");
  EXPECT_EQ(temps[0].value, 23.0);
  EXPECT_FALSE(temps[1].hasvalue);

  const std::string power =
      R"({"PowerSupplies":[{"Name":"PS1","Status":{"Health":"OK"}},{"Name":)"
      R"("PS2","Status":{"Health":"Warning"}},{"Name":"PS3","Status":{"Health":)"
      R"("Critical"}},{"Name":"PS4","Status":{"State":"Absent"}}],"Voltages":)"
      R"([{"Name":"PS1 Voltage 1","ReadingVolts":12.25}]})";
  std::vector<redfishreading> volts, supplies;
  double watts = 0;
  ASSERT_TRUE(
      readpower(power.data(), power.size(), &volts, &supplies, &error, &watts));
  EXPECT_EQ(watts, -1.0);  // no PowerControl
  const std::string drawn =
      R"({"PowerControl":[{"Name":"System","PowerConsumedWatts":231.5}]})";
  ASSERT_TRUE(readpower(drawn.data(), drawn.size(), &volts, &supplies, &error,
                        &watts));
  EXPECT_EQ(watts, 231.5);
  ASSERT_TRUE(readpower(power.data(), power.size(), &volts, &supplies, &error));
  ASSERT_EQ(volts.size(), 1u);
  EXPECT_EQ(volts[0].value, 12.25);
  ASSERT_EQ(supplies.size(), 4u);
  for (int i = 0; i < 4; i++) EXPECT_EQ(supplies[i].health, i);
  EXPECT_TRUE(supplies[3].absent);
}

TEST(RedfishReplies, NewerSchemaSubsystemsFansAndPowerDrawn) {
  std::string error;
  const std::string chassis =
      R"({"ThermalSubsystem":{"@odata.id":"/c/T"},"PowerSubsystem":)"
      R"({"@odata.id":"/c/P"},"EnvironmentMetrics":{"@odata.id":"/c/E"}})";
  redfishchassis c;
  ASSERT_TRUE(readchassis(chassis.data(), chassis.size(), &c, &error));
  EXPECT_EQ(c.thermalsubsystem, "/c/T");
  EXPECT_EQ(c.environment, "/c/E");
  EXPECT_TRUE(c.sensors.empty() && c.thermal.empty() && c.power.empty());
  const std::string subsystem =
      R"({"Fans":{"@odata.id":"/c/T/Fans"},"Heaters":{"@odata.id":"/c/T/H"}})";
  std::string metrics = "x", fans;
  ASSERT_TRUE(readthermalsubsystem(subsystem.data(), subsystem.size(), &metrics,
                                   &fans, &error));
  EXPECT_EQ(metrics, "");
  EXPECT_EQ(fans, "/c/T/Fans");

  // Temperatures by DeviceName and by the Sensor their DataSourceUri names
  // (a trailing slash as older bmcweb writes it); the summary is no list.
  const std::string thermal =
      R"({"TemperatureSummaryCelsius":{"Intake":{"Reading":24.8}},)"
      R"("TemperatureReadingsCelsius":[{"DeviceName":"Intake","Reading":24.8,)"
      R"("DataSourceUri":"/c/S/IntakeTemp"},{"DeviceName":"CPU1 Temp",)"
      R"("Reading":null,"DataSourceUri":"/c/S/temperature_CPU1_Temp/"}]})";
  std::vector<redfishreading> temps;
  ASSERT_TRUE(
      readthermalmetrics(thermal.data(), thermal.size(), &temps, &error));
  ASSERT_EQ(temps.size(), 2u);
  EXPECT_EQ(temps[0].value, 24.8);
  EXPECT_FALSE(temps[0].percent);
  EXPECT_FALSE(temps[1].hasvalue);
  EXPECT_EQ(bindreading("Intake", temps), 0);
  EXPECT_EQ(bindreading("IntakeTemp", temps), 0);
  EXPECT_EQ(bindreading("temperature_CPU1_Temp", temps), 1);
  EXPECT_FALSE(readthermalmetrics("{}", 2, &temps, &error));

  // A fan in percent only; one with SpeedRPM beside it is read in rpm.
  redfishreading fan;
  const std::string share =
      R"({"Id":"CPU1","Name":"Fan for CPU 1","Status":{"State":"Enabled",)"
      R"("Health":"Warning"},"SpeedPercent":{"Reading":45,)"
      R"("DataSourceUri":"/c/S/CPUFan1"}})";
  ASSERT_TRUE(readfan(share.data(), share.size(), &fan, &error));
  EXPECT_EQ(fan.name, "Fan for CPU 1");
  EXPECT_EQ(fan.source, "CPUFan1");
  EXPECT_EQ(fan.value, 45.0);
  EXPECT_TRUE(fan.percent);
  EXPECT_EQ(fan.health, 1);
  const std::string expanded =
      R"({"Members":[{"Id":"Bay1","Name":"Fan Bay 1","SpeedPercent":)"
      R"({"Reading":45,"SpeedRPM":2200}},{"Id":"Bay2","Name":"Fan Bay 2",)"
      R"("Status":{"State":"Absent"}}]})";
  std::vector<redfishreading> list;
  ASSERT_TRUE(
      readexpandedfans(expanded.data(), expanded.size(), &list, &error));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].value, 2200.0);
  EXPECT_FALSE(list[0].percent);
  EXPECT_TRUE(list[1].absent);
  EXPECT_FALSE(list[1].hasvalue);
  const std::string links = R"({"Members":[{"@odata.id":"/c/T/Fans/Bay1"}]})";
  EXPECT_FALSE(readexpandedfans(links.data(), links.size(), &list, &error));
  EXPECT_EQ(error, "collection members are not expanded");

  // The power drawn; a PowerWatts without a reading; none offered.
  double watts = 0;
  bool offered = false;
  const std::string drawn =
      R"({"PowerWatts":{"Reading":374,"DataSourceUri":"/c/S/TotalPower"}})";
  ASSERT_TRUE(
      readenvironment(drawn.data(), drawn.size(), &watts, &offered, &error));
  EXPECT_EQ(watts, 374.0);
  EXPECT_TRUE(offered);
  const std::string unread = R"({"PowerWatts":{"Reading":null}})";
  ASSERT_TRUE(
      readenvironment(unread.data(), unread.size(), &watts, &offered, &error));
  EXPECT_EQ(watts, -1.0);
  EXPECT_TRUE(offered);
  const std::string none = R"({"TemperatureCelsius":{"Reading":39}})";
  ASSERT_TRUE(
      readenvironment(none.data(), none.size(), &watts, &offered, &error));
  EXPECT_EQ(watts, -1.0);
  EXPECT_FALSE(offered);
}

TEST(RedfishReplies, HostileBodiesGiveAnErrorAndNoCrash) {
  std::string deep(100000, '[');
  std::string huge(REDFISHMAXBODY + 1, ' ');
  std::string longnumber = "{\"Reading\": 1" + std::string(300, '0') + "}";
  const std::string bodies[] = {
      "",
      "{\"Members\": [",
      "{\"Members\": [{\"@odata.id\": \"/a\"},]}",
      deep,
      "{\"a\":" + std::string(40, '{') + std::string(40, '}') + "}",
      huge,
      "[1, 2, 3]",
      "{\"Name\": \"\xff\xfe\"}",
      "{\"Members\": \"x\", \"Systems\": 7}",
      "{\"Members\": [], \"Reading\": 1e999}",
  };
  for (const std::string& b : bodies) {
    std::vector<std::string> uris;
    redfishroot r;
    std::string error;
    EXPECT_FALSE(readmembers(b.data(), b.size(), &uris, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(readroot(b.data(), b.size(), &r, &error));
  }
  EXPECT_EQ(jsondepth(deep.data(), deep.size(), REDFISHMAXDEPTH),
            REDFISHMAXDEPTH + 1);
  // Brackets inside strings do not count.
  const std::string quoted = R"({"a": "[[[\"{{"})";
  EXPECT_EQ(jsondepth(quoted.data(), quoted.size(), REDFISHMAXDEPTH), 1);
  // An integer beyond every integer type is read as a (finite) double.
  redfishreading r;
  std::string error;
  EXPECT_TRUE(readsensor(longnumber.data(), longnumber.size(), &r, &error));
  EXPECT_TRUE(r.hasvalue);
  EXPECT_EQ(r.value, 1e300);
}

TEST(RedfishReplies, LoginBodyIsEscapedAndHeadersAreRead) {
  const char password[] = "pa\"ss\\w\tord\x01";
  std::string body = sessionbody("root", password);
  EXPECT_EQ(body,
            "{\"UserName\": \"root\", \"Password\": \"pa\\\"ss\\\\w\\tord"
            "\\u0001\"}");
  nlohmann::json doc = nlohmann::json::parse(body);
  EXPECT_EQ(doc["Password"], password);
  EXPECT_EQ(resetbody("ForceOff"), "{\"ResetType\": \"ForceOff\"}");

  std::string value;
  const std::string token = "x-auth-token:  abc123\r\n";
  EXPECT_TRUE(readheader(token.data(), token.size(), "X-Auth-Token", &value));
  EXPECT_EQ(value, "abc123");
  const std::string other = "X-Auth-Tokens: no\r\n";
  EXPECT_FALSE(readheader(other.data(), other.size(), "X-Auth-Token", &value));
}

}  // namespace

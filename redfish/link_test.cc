#include "redfish/link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "model/datastructs.h"
#include "tests/unit/nodefixture.h"

namespace {

// A link of a node with one fan, one temperature, one voltage and one power
// supply, driven against a table of replies (method and path -> reply) in
// place of the driver. A path missing from the table answers 404.
class RedfishLink : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    static char fan[] = "Fan0", temp[] = "CPU1 Temp", volt[] = "voltage_P12V",
                psu[] = "PSU1";
    c = chassis();
    c.transportkind = TRANSPORT_REDFISH;
    c.fanname[0] = fan;
    c.tempname[0] = temp;
    c.voltname[0] = volt;
    c.discname[0] = psu;
    c.numfans = c.numtemps = c.numvolts = c.numdiscs = 1;
    static char user[] = "admin", password[] = "se\"cret";
    n.username = user;
    n.password = password;
    link = new redfish_link(&n);
    n.link = link;
  }
  void TearDown() override {
    n.link = &ipmi;
    delete link;
    NodeFixture::TearDown();
  }
  void answer(const std::string& key, long status, const std::string& body,
              const std::string& token = "") {
    redfishreply r;
    r.done = true;
    r.status = status;
    r.body = body;
    r.token = token;
    if (!token.empty())
      r.location = "/redfish/v1/SessionService/Sessions/" + token;
    replies[key] = r;
  }
  // Runs the link until it has nothing to send; returns what it sent as
  // "METHOD path".
  std::vector<std::string> run() {
    std::vector<std::string> sent;
    redfishrequest req;
    while (link->next(&req) && sent.size() < 100) {
      static const char* const names[] = {"GET", "POST", "DELETE"};
      std::string key = std::string(names[req.method]) + " " + req.path;
      sent.push_back(key);
      requests.push_back(req);
      auto it = replies.find(key);
      redfishreply r;
      if (it != replies.end()) {
        r = it->second;
      } else {
        r.done = true;
        r.status = 404;
      }
      link->onreply(r);
    }
    return sent;
  }
  // A service with sessions whose chassis serves a Sensors collection.
  void sensorservice(bool expand) {
    answer("GET /redfish/v1/", 200,
           std::string(R"({"Systems":{"@odata.id":"/redfish/v1/Systems"},)"
                       R"("Chassis":{"@odata.id":"/redfish/v1/Chassis"},)"
                       R"("Links":{"Sessions":{"@odata.id":"/S"}},)"
                       R"("ProtocolFeaturesSupported":{"ExpandQuery":)"
                       R"({"NoLinks":)") +
               (expand ? "true" : "false") + R"(,"Levels":true}}})");
    answer("POST /S", 201, "{}", "t1");
    answer("GET /redfish/v1/Systems", 200,
           R"({"Members":[{"@odata.id":"/redfish/v1/Systems/system"}]})");
    answer("GET /redfish/v1/Systems/system", 200,
           R"({"PowerState":"On","Actions":{"#ComputerSystem.Reset":{)"
           R"("target":"/reset","ResetType@Redfish.AllowableValues":)"
           R"(["On","GracefulShutdown","PowerCycle"]}}})");
    answer("GET /redfish/v1/Chassis", 200,
           R"({"Members":[{"@odata.id":"/c/board"},{"@odata.id":"/c/main"}]})");
    // The first chassis has sensors but holds another system.
    answer(
        "GET /c/board", 200,
        R"({"Sensors":{"@odata.id":"/c/board/Sensors"},"Links":)"
        R"({"ComputerSystems":[{"@odata.id":"/redfish/v1/Systems/other"}]}})");
    answer(
        "GET /c/main", 200,
        R"({"Sensors":{"@odata.id":"/s"},"Power":{"@odata.id":"/p"},)"
        R"("Links":{"ComputerSystems":[{"@odata.id":"/redfish/v1/Systems/system"}]}})");
    answer(
        "GET /s", 200,
        R"({"Members":[{"@odata.id":"/s/fantach_Fan0"},{"@odata.id":"/s/t"},)"
        R"({"@odata.id":"/s/voltage_P12V"},{"@odata.id":"/s/extra"}]})");
    answer(
        "GET /s/fantach_Fan0", 200,
        R"({"Id":"fantach_Fan0","Name":"Fan0","Reading":40,"SpeedRPM":7200})");
    answer("GET /s/t", 200, R"({"Id":"t","Name":"CPU1 Temp","Reading":45.5})");
    answer("GET /s/voltage_P12V", 200,
           R"({"Id":"voltage_P12V","Name":"P12V","Reading":12.25})");
    answer("GET /s/extra", 200, R"({"Id":"extra","Name":"Other","Reading":1})");
    answer(
        "GET /p", 200,
        R"({"PowerSupplies":[{"Name":"PSU1","Status":{"Health":"Warning"}}]})");
  }

  redfish_link* link = nullptr;
  std::map<std::string, redfishreply> replies;
  std::vector<redfishrequest> requests;
};

TEST_F(RedfishLink, DiscoveryBindsByNameThenIdAndPollsOnlyBoundSensors) {
  sensorservice(false);
  // Sessions: ours of an earlier run, someone else's, and the new one.
  answer("GET /S", 200,
         R"({"Members":[{"@odata.id":"/S/old"},{"@odata.id":"/S/web"},)"
         R"({"@odata.id":"/SessionService/Sessions/t1"}]})");
  answer("GET /S/old", 200,
         R"({"Id":"old","UserName":"admin","Context":"kestrel"})");
  answer("GET /S/web", 200,
         R"({"Id":"web","UserName":"admin","Context":"browser"})");
  EXPECT_FALSE(link->poll(&n));  // dead until the BMC answers
  std::vector<std::string> sent = run();
  std::vector<std::string> discovery = {"GET /redfish/v1/",
                                        "POST /S",
                                        "GET /S",
                                        "GET /S/old",
                                        "DELETE /S/old",
                                        "GET /S/web",
                                        "GET /redfish/v1/Systems",
                                        "GET /redfish/v1/Systems/system",
                                        "GET /redfish/v1/Chassis",
                                        "GET /c/board",
                                        "GET /c/main",
                                        "GET /s",
                                        "GET /s/fantach_Fan0",
                                        "GET /s/t",
                                        "GET /s/voltage_P12V",
                                        "GET /s/extra"};
  std::vector<std::string> pass = {"GET /redfish/v1/Systems/system",
                                   "GET /s/fantach_Fan0", "GET /s/t",
                                   "GET /s/voltage_P12V", "GET /p"};
  std::vector<std::string> expected = discovery;
  expected.insert(expected.end(), pass.begin(), pass.end());
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(requests[1].body,
            R"({"UserName": "admin", "Password": "se\"cret", "Context": "kestrel"})");
  EXPECT_TRUE(requests[0].token.empty());
  EXPECT_EQ(requests[2].token, "t1");
  EXPECT_FALSE(n.dead);
  EXPECT_TRUE(n.power);
  EXPECT_EQ(n.fan[0], 7200.0);  // SpeedRPM, not the percentage
  EXPECT_EQ(n.temp[0], 45.5);
  EXPECT_EQ(n.volt[0], 12.25);  // bound by Id
  EXPECT_EQ(n.disc[0], 1.0);

  // The next pass: no discovery; a null reading and a vanished sensor leave
  // their slots alone.
  answer("GET /s/t", 200, R"({"Id":"t","Name":"CPU1 Temp","Reading":null})");
  replies.erase("GET /s/voltage_P12V");
  EXPECT_TRUE(link->poll(&n));
  EXPECT_EQ(run(), pass);
  EXPECT_EQ(n.temp[0], 45.5);
  EXPECT_EQ(n.volt[0], 12.25);
}

TEST_F(RedfishLink, AnExpiredSessionIsDeletedBeforeTheNextLoginAndOnlyOnce) {
  sensorservice(true);
  answer("GET /s?$expand=.($levels=1)", 200,
         R"({"Members":[{"Id":"f","Name":"Fan0","Reading":6000}]})");
  link->poll(&n);
  run();
  EXPECT_EQ(n.fan[0], 6000.0);

  // Every request with t1 is now refused; the new login gives t2.
  for (auto& [key, r] : replies)
    if (key != "GET /redfish/v1/" && key != "POST /S") r.status = 401;
  answer("POST /S", 201, "{}", "t2");
  requests.clear();
  link->poll(&n);
  std::vector<std::string> sent = run();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], "GET /redfish/v1/Systems/system");
  EXPECT_EQ(sent[1], "GET /redfish/v1/");
  EXPECT_EQ(sent[2], "DELETE /redfish/v1/SessionService/Sessions/t1");
  EXPECT_EQ(requests[2].token, "t1");
  EXPECT_EQ(sent[3], "POST /S");
  // The new session is refused too: the job gives up, no third login.
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "POST /S"), 1);
  EXPECT_EQ(sent.size(), 6u);  // the sessions list (404 here), then Systems
  // A failed pass changes nothing by itself; a BMC that stays silent is
  // dead once the staleness limit has passed.
  EXPECT_FALSE(n.dead);
  clockvalue += STALEAFTER + 1;
  n.getdata();
  EXPECT_TRUE(n.dead);

  // At exit the current session is deleted, and then nothing more is sent.
  link->stop(&n);
  EXPECT_EQ(run(), std::vector<std::string>{
                       "DELETE /redfish/v1/SessionService/Sessions/t2"});
  EXPECT_TRUE(link->finished());
  link->poll(&n);
  EXPECT_TRUE(run().empty());
}

TEST_F(RedfishLink, RefusedExpandFallsBackAndCommandsTakeTheNearestValue) {
  sensorservice(true);
  answer("GET /s?$expand=.($levels=1)", 400, R"({"error":{}})");
  link->poll(&n);
  std::vector<std::string> sent = run();
  EXPECT_EQ(sent.back(), "GET /s?$expand=.($levels=1)");
  // The next pass discovers again and reads the members one by one.
  link->poll(&n);
  sent = run();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "GET /s/fantach_Fan0"), 2);
  EXPECT_EQ(n.fan[0], 7200.0);

  // The service lists neither ForceOff nor ForceRestart.
  answer("POST /reset", 204, "");
  requests.clear();
  EXPECT_TRUE(link->command(&n, POWEROFF));
  EXPECT_TRUE(link->command(&n, RESET));
  EXPECT_FALSE(link->command(&n, 99));
  sent = run();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(sent[0], "POST /reset");
  EXPECT_EQ(requests[0].body, R"({"ResetType": "GracefulShutdown"})");
  EXPECT_EQ(requests[1].body, R"({"ResetType": "PowerCycle"})");
  // Then the power state is asked for at once.
  EXPECT_EQ(sent[2], "GET /redfish/v1/Systems/system");
}

TEST_F(RedfishLink, ARefusedLoginWaitsDoublingSaysSoOnceAndACommandGoesAtOnce) {
  sensorservice(false);
  answer("POST /S", 401, R"({"error":{}})");
  auto logins = [&] {
    link->poll(&n);
    std::vector<std::string> sent = run();
    return std::count(sent.begin(), sent.end(), "POST /S");
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(logins(), 1);
  EXPECT_TRUE(n.dead);
  // Passes every few seconds: the next login waits 30 s, then 60, 120...
  long attempts = 0;
  for (int second = 3; second <= 300; second += 3) {
    clockvalue += 3;
    attempts += logins();
  }
  EXPECT_EQ(attempts, 3);  // at 30, 90 and 210 s
  // An operator's command logs in at once and is told of the refusal.
  EXPECT_TRUE(link->command(&n, POWERON));
  std::vector<std::string> sent = run();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "POST /S"), 1);
  // An hour on, the refusal is said again; then the login is accepted.
  clockvalue += 3600;
  EXPECT_EQ(logins(), 1);
  answer("POST /S", 201, "{}", "t1");
  clockvalue += LOGINLONGESTWAIT;
  EXPECT_EQ(logins(), 1);
  EXPECT_FALSE(n.dead);
  std::string err = testing::internal::GetCapturedStderr();
  const std::string refusal = "Redfish BMC of node01: login failed: HTTP 401\n";
  size_t said = 0;
  for (size_t p = 0; (p = err.find(refusal, p)) != std::string::npos; p++)
    said++;
  EXPECT_EQ(said, 2u) << err;
  EXPECT_NE(err.find("Failed to issue power on command with Redfish to node01: "
                     "login failed: HTTP 401\n"),
            std::string::npos);
  EXPECT_NE(err.find("Redfish BMC of node01 accepts the login again\n"),
            std::string::npos);
}

TEST_F(RedfishLink, SensorsACollectionLacksAreReadFromThermalAndPower) {
  // As some services do: the collection holds the fan and a power meter;
  // temperatures and voltages are only in Thermal and Power.
  for (bool expand : {false, true}) {
    sensorservice(expand);
    answer("GET /c/main", 200,
           R"({"Sensors":{"@odata.id":"/s"},"Thermal":{"@odata.id":"/t"},)"
           R"("Power":{"@odata.id":"/p"},"Links":{"ComputerSystems":)"
           R"([{"@odata.id":"/redfish/v1/Systems/system"}]}})");
    answer("GET /s", 200,
           R"({"Members":[{"@odata.id":"/s/fantach_Fan0"},{"@odata.id":"/s/w"}]})");
    answer("GET /s/w", 200, R"({"Id":"w","Name":"Power Meter","Reading":196})");
    answer("GET /s?$expand=.($levels=1)", 200,
           R"({"Members":[{"Id":"fantach_Fan0","Name":"Fan0","Reading":7100},)"
           R"({"Id":"w","Name":"Power Meter","Reading":196}]})");
    answer("GET /t", 200,
           R"({"Fans":[{"Name":"Fan0","Reading":1}],)"
           R"("Temperatures":[{"Name":"CPU1 Temp","ReadingCelsius":44}]})");
    answer("GET /p", 200,
           R"({"Voltages":[{"Name":"voltage_P12V","ReadingVolts":12.1}],)"
           R"("PowerSupplies":[{"Name":"PSU1","Status":{"Health":"OK"}}]})");
    testing::internal::CaptureStderr();
    link->poll(&n);
    run();
    link->poll(&n);
    std::vector<std::string> pass = run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << expand;
    // Without $expand, Thermal and Power serve all they have, with fewer
    // requests; with it the fan comes from the collection and the rest
    // from Thermal and Power, each resource once a pass.
    EXPECT_EQ(n.fan[0], expand ? 7100.0 : 1.0) << expand;
    EXPECT_EQ(n.temp[0], 44.0) << expand;
    EXPECT_EQ(n.volt[0], 12.1) << expand;
    EXPECT_EQ(n.disc[0], IPMI_DISC_HEALTHY) << expand;
    EXPECT_EQ(std::count(pass.begin(), pass.end(), "GET /t"), 1) << expand;
    EXPECT_EQ(std::count(pass.begin(), pass.end(), "GET /p"), 1) << expand;
    EXPECT_EQ(std::count(pass.begin(), pass.end(), "GET /s/w"), 0) << expand;
    delete link;
    link = new redfish_link(&n);
    n.link = link;
    replies.clear();
  }
}

TEST_F(RedfishLink, TheNewerSchemaServesWhatTheCollectionLacksOnceAPass) {
  // No Thermal or Power: the collection lists the voltage alone; the
  // temperature is in ThermalMetrics, the fan (in percent) in Fans, the
  // supply in PowerSubsystem and the power drawn in EnvironmentMetrics.
  for (bool expand : {false, true}) {
    sensorservice(expand);
    answer(
        "GET /c/main", 200,
        R"({"Sensors":{"@odata.id":"/s"},"ThermalSubsystem":)"
        R"({"@odata.id":"/ts"},"PowerSubsystem":{"@odata.id":"/ps"},)"
        R"("EnvironmentMetrics":{"@odata.id":"/e"},"Links":)"
        R"({"ComputerSystems":[{"@odata.id":"/redfish/v1/Systems/system"}]}})");
    answer("GET /s", 200, R"({"Members":[{"@odata.id":"/s/voltage_P12V"}]})");
    answer("GET /s?$expand=.($levels=1)", 200,
           R"({"Members":[{"Id":"voltage_P12V","Reading":12.25}]})");
    answer(
        "GET /ts", 200,
        R"({"ThermalMetrics":{"@odata.id":"/tm"},"Fans":{"@odata.id":"/f"}})");
    answer("GET /tm", 200,
           R"({"TemperatureReadingsCelsius":[{"DeviceName":"Inlet",)"
           R"("Reading":21},{"DeviceName":"CPU1 Temp","Reading":44}]})");
    const std::string fan =
        R"({"Id":"0","Name":"Fan0","SpeedPercent":{"Reading":35}})";
    answer("GET /f", 200, R"({"Members":[{"@odata.id":"/f/0"}]})");
    answer("GET /f/0", 200, fan);
    answer("GET /f?$expand=.($levels=1)", 200, "{\"Members\":[" + fan + "]}");
    answer("GET /ps", 200, R"({"PowerSupplies":{"@odata.id":"/pp"}})");
    answer("GET /pp", 200, R"({"Members":[{"@odata.id":"/pp/1"}]})");
    answer("GET /pp/1", 200,
           R"({"Name":"PSU1","Status":{"Health":"Warning"}})");
    answer("GET /e", 200, R"({"PowerWatts":{"Reading":231}})");
    testing::internal::CaptureStderr();
    link->poll(&n);
    run();
    link->poll(&n);
    std::vector<std::string> pass = run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << expand;
    std::vector<std::string> expected = {"GET /redfish/v1/Systems/system",
                                         "GET /s/voltage_P12V",
                                         "GET /tm",
                                         "GET /f/0",
                                         "GET /pp/1",
                                         "GET /e"};
    if (expand) {
      expected[1] = "GET /s?$expand=.($levels=1)";
      expected[3] = "GET /f?$expand=.($levels=1)";
    }
    std::sort(pass.begin(), pass.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(pass, expected) << expand;
    EXPECT_EQ(n.fan[0], 35.0) << expand;
    EXPECT_EQ(n.fanunit[0], UNIT_PERCENT) << expand;
    EXPECT_EQ(n.temp[0], 44.0) << expand;
    EXPECT_EQ(n.volt[0], 12.25) << expand;
    EXPECT_EQ(n.disc[0], 1.0) << expand;
    EXPECT_EQ(n.watts, 231.0) << expand;

    // Without a Sensors collection, and with EnvironmentMetrics that tells
    // no power: it is read once, and the voltage is said missing once.
    delete link;
    link = new redfish_link(&n);
    n.link = link;
    answer("GET /c/main", 200,
           R"({"ThermalSubsystem":{"@odata.id":"/ts"},"EnvironmentMetrics":)"
           R"({"@odata.id":"/e"},"Links":{"ComputerSystems":)"
           R"([{"@odata.id":"/redfish/v1/Systems/system"}]}})");
    answer("GET /e", 200, R"({"TemperatureCelsius":{"Reading":39}})");
    testing::internal::CaptureStderr();
    link->poll(&n);
    std::vector<std::string> first = run();
    link->poll(&n);
    pass = run();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(first.begin(), first.end(), "GET /e"), 1) << expand;
    EXPECT_EQ(std::count(pass.begin(), pass.end(), "GET /e"), 0) << expand;
    EXPECT_EQ(std::count(pass.begin(), pass.end(), "GET /tm"), 1) << expand;
    EXPECT_EQ(err,
              "Redfish sensor voltage_P12V not found on node01\n"
              "Redfish sensor PSU1 not found on node01\n")
        << expand;
    delete link;
    link = new redfish_link(&n);
    n.link = link;
    replies.clear();
  }
}

}  // namespace

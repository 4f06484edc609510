#include "probe/section.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "config/chassisfile.h"
#include "model/datastructs.h"

namespace {

offeredsensor sensor(int kind, const std::string& name) {
  offeredsensor o;
  o.kind = kind;
  o.name = name;
  return o;
}

class ProbeSection : public ::testing::Test {
 protected:
  void SetUp() override { saved = mycluster.numchassis; }
  void TearDown() override { mycluster.numchassis = saved; }
  // Reads the text back as the daemon reads chassis.dat.
  chassis* readback(const std::string& text) {
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    configerror err;
    bool ok = readchassisfile(f, &mycluster, &err) &&
              validatechassis(&mycluster, &err);
    fclose(f);
    EXPECT_TRUE(ok) << err.text << text;
    return ok && mycluster.numchassis == 1 ? &mychassis[0] : nullptr;
  }
  int saved = 0;
};

TEST(ProbeLabels, AreUniqueSpacelessAndWithinTheLabelRoom) {
  std::set<std::string> taken;
  EXPECT_EQ(labelfor("CPU Temp", &taken), "CPU_Temp");
  EXPECT_EQ(labelfor("CPU  Temp ", &taken), "CPU_Temp_2");
  EXPECT_EQ(labelfor("fan_tach/fan0", &taken), "fan0");
  EXPECT_EQ(labelfor("\"quoted\"!", &taken), "quoted");
  EXPECT_EQ(labelfor("***", &taken), "sensor");
  std::string longname(120, 'x');
  EXPECT_EQ(labelfor(longname, &taken), std::string(PROBELABELLEN, 'x'));
  EXPECT_EQ(labelfor(longname, &taken),
            std::string(PROBELABELLEN - 2, 'x') + "_2");
}

TEST(ProbeNearest, RanksByEditDistanceIgnoringCase) {
  EXPECT_EQ(editdistance("cpu temp", "CPU Temp"), 0u);
  EXPECT_EQ(editdistance("Fan1", "FAN_1"), 1u);
  EXPECT_EQ(editdistance("", "abc"), 3u);
  std::vector<offeredsensor> offered = {sensor(TEMP, "Inlet Temp"),
                                        sensor(FAN, "Fan1A"),
                                        sensor(FAN, "Fan2A")};
  EXPECT_EQ(nearestnames("Fan1", offered, 2),
            (std::vector<std::string>{"Fan1A", "Fan2A"}));
}

TEST_F(ProbeSection, ReadsBackWithTheBmcLimitsAndOrderedGuesses) {
  bmcoffer offer;
  offeredsensor t = sensor(TEMP, "CPU Temp");
  t.haslimit[ALERTHIGH] = t.haslimit[CRITHIGH] = true;
  t.limits[ALERTHIGH] = 80;
  t.limits[CRITHIGH] = 90;
  offeredsensor f = sensor(FAN, "Fan 1");
  f.unit = UNIT_PERCENT;
  f.haslimit[CRITLOW] = true;
  f.limits[CRITLOW] = 10;
  offeredsensor v = sensor(VOLT, "P12V");
  v.haslimit[ALERTHIGH] = true;  // beyond the guess of the critical high
  v.limits[ALERTHIGH] = 2000;
  // A name offered again is written as its Id, or left out without one.
  offeredsensor again = sensor(TEMP, "CPU Temp");
  again.id = "CPU2";
  offer.sensors = {t, f, v, sensor(DISC, "PSU1"), again,
                   sensor(TEMP, "CPU Temp")};
  offer.outcome = OFFER_ANSWERED;
  std::string text = writesection("n1", "box", TRANSPORT_REDFISH, offer,
                                  nullptr);
  chassis* c = readback(text);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->transportkind, TRANSPORT_REDFISH);
  ASSERT_EQ(c->numtemps, 2);
  EXPECT_STREQ(c->tempname[0], "CPU Temp");
  EXPECT_STREQ(c->tempname[1], "CPU2");
  EXPECT_STREQ(c->tempshortname[1], "CPU_Temp_2");
  EXPECT_NE(text.find("(a reading goes to the first\n! sensor of its name):\n"
                      "!   \"CPU Temp\"\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(c->templimit[0][ALERTHIGH], 80);
  EXPECT_EQ(c->templimit[0][CRITHIGH], 90);
  EXPECT_LE(c->templimit[0][CRITLOW], c->templimit[0][ALERTLOW]);
  // A percent fan's guesses stay within 0..100 and above the BMC's 10.
  EXPECT_STREQ(c->fanname[0], "Fan 1");
  EXPECT_EQ(c->fanlimit[0][CRITLOW], 10);
  EXPECT_EQ(c->fanlimit[0][ALERTLOW], 10);
  EXPECT_EQ(c->fanlimit[0][CRITHIGH], 100);
  EXPECT_NE(text.find("its limits are percent"), std::string::npos);
  EXPECT_EQ(c->voltlimit[0][CRITHIGH], 2000);
  EXPECT_EQ(c->numdiscs, 1);
  EXPECT_FALSE(c->disccrit[0]);
}

TEST_F(ProbeSection, ListsWhatDoesNotFitAndHowThePresentSectionBinds) {
  bmcoffer offer;
  for (int i = 0; i < MAXFANS + 2; i++)
    offer.sensors.push_back(sensor(FAN, "Fan" + std::to_string(i)));
  offer.sensors.push_back(sensor(TEMP, "bad \"name\""));
  offer.sensors.push_back(sensor(TEMP, std::string(96, 't')));
  chassis present;
  strcpy(present.name, "old");
  present.numfans = 2;
  char fan1[] = "Fan1", fan9[] = "fan_9";
  present.fanname[0] = fan1;
  present.fanname[1] = fan9;
  std::string text =
      writesection("n1", "box", TRANSPORT_IPMI, offer, &present);
  chassis* c = readback(text);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->numfans, MAXFANS);
  EXPECT_EQ(c->numtemps, 0);
  EXPECT_NE(text.find("beyond the 64 FAN sensors a chassis holds:\n!   Fan64 "
                      "Fan65\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("cannot hold:\n!   bad \"name\"\n!   ttt"), std::string::npos);
  EXPECT_NE(text.find("of n1: 1 of 2 sensors bind.\n! Binds:\n!   FAN1 Fan1\n"
                      "! Does not bind (the BMC offers no sensor of that "
                      "name):\n!   FAN2 fan_9; nearest: Fan9, Fan19, Fan29\n"),
            std::string::npos)
      << text;
}

}  // namespace

#include "config/chassisfile.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "model/datastructs.h"
#include "tests/unit/testfiles.h"

namespace {

class ChassisFile : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    saved = mycluster.numchassis;
  }
  void TearDown() override { mycluster.numchassis = saved; }

  // Reads and validates the text as chassis.dat; true when it is taken.
  bool load(const std::string& text, bool validate = true,
            configerror* err = nullptr) {
    configerror ignored;
    if (!err) err = &ignored;
    std::string p = dir.write("chassis.dat", text);
    return parsechassis(p.c_str(), &mycluster, err) &&
           (!validate || validatechassis(&mycluster, err));
  }
  // The file is refused with status 1 and a message holding `message`.
  void expectfatal(const std::string& text, const std::string& message) {
    configerror err;
    EXPECT_FALSE(load(text, true, &err)) << message;
    EXPECT_EQ(err.status, 1) << message;
    EXPECT_NE(err.text.find(message), std::string::npos)
        << err.text << " lacks " << message;
  }

  TempDir dir;
  int saved = 0;
};

const char kExample[] =
    "!sample chassis definitions\n"
    "$CHASSISTYPE demo1u\n"
    "$$FANCOUNT 2\n"
    "$$TEMPCOUNT 1\n"
    "$$VOLTCOUNT 1\n"
    "$$DISCCOUNT 1\n"
    "$$FAN1 FAN1 Fan1 300 600 20000 25000\n"
    "$$FAN2 FAN2 Fan2 300 600 20000 25000\n"
    "$$TEMP1 CPU1 \"CPU1 Temp\" 0 5 80 90\n"
    "$$VOLT1 12V Rail12V 10.8 11.4 12.6 13.2\n"
    "$$DISC1 PSU1 PSU1Status 1\n"
    "\n"
    "$CHASSISTYPE demobmc\n"
    "$$OPENBMC\n"
    "$$FANCOUNT 1\n"
    "$$FAN1 fan0 fan0 500 1000 15000 20000\n"
    "\n";

TEST_F(ChassisFile, ReadsTheExampleDefinitions) {
  load(kExample);
  ASSERT_EQ(mycluster.numchassis, 2);
  chassis& a = mychassis[0];
  EXPECT_STREQ(a.name, "demo1u");
  EXPECT_EQ(a.transportkind, TRANSPORT_IPMI);
  EXPECT_EQ(a.numfans, 2);
  EXPECT_EQ(a.numtemps, 1);
  EXPECT_EQ(a.numvolts, 1);
  EXPECT_EQ(a.numdiscs, 1);
  EXPECT_STREQ(a.fanshortname[0], "FAN1");
  EXPECT_STREQ(a.fanname[0], "Fan1");
  EXPECT_STREQ(a.fanname[1], "Fan2");
  EXPECT_DOUBLE_EQ(a.fanlimit[0][CRITLOW], 300);
  EXPECT_DOUBLE_EQ(a.fanlimit[0][ALERTLOW], 600);
  EXPECT_DOUBLE_EQ(a.fanlimit[0][ALERTHIGH], 20000);
  EXPECT_DOUBLE_EQ(a.fanlimit[0][CRITHIGH], 25000);
  EXPECT_STREQ(a.tempname[0], "CPU1 Temp");
  EXPECT_STREQ(a.tempshortname[0], "CPU1");
  EXPECT_DOUBLE_EQ(a.voltlimit[0][CRITLOW], 10.8);
  EXPECT_DOUBLE_EQ(a.voltlimit[0][CRITHIGH], 13.2);
  EXPECT_STREQ(a.discname[0], "PSU1Status");
  EXPECT_TRUE(a.disccrit[0]);
  // Slots beyond the counts keep the record's defaults.
  EXPECT_EQ(a.fanname[2], nullptr);
  EXPECT_DOUBLE_EQ(a.fanlimit[2][CRITHIGH], 40001.0);
  chassis& b = mychassis[1];
  EXPECT_STREQ(b.name, "demobmc");
  EXPECT_EQ(b.transportkind, TRANSPORT_OPENBMC);
  EXPECT_EQ(b.numfans, 1);
  EXPECT_STREQ(b.fanname[0], "fan0");
  EXPECT_STREQ(b.fanshortname[0], "fan0");
  EXPECT_EQ(mycluster.findchassis("demobmc"), &b);
  EXPECT_EQ(mycluster.findchassis("DEMOBMC"), nullptr);
}

TEST_F(ChassisFile, SectionsNeedASeparatingLine) {
  // A comment stays inside the first section, so the next start line is
  // swallowed as the separator and its "$$" lines reach the top level.
  std::string text =
      "$CHASSISTYPE a\n$$FANCOUNT 0\n# between\n$CHASSISTYPE b\n"
      "$$FANCOUNT 0\n\n";
  expectfatal(text,
              "Unknown line encountered in chassis configuration file:\n"
              "$$FANCOUNT 0\n\nExiting now.\n");
  load("$CHASSISTYPE a\n$$FANCOUNT 0\n# in a\n \n$CHASSISTYPE b\n\n");
  EXPECT_EQ(mycluster.numchassis, 2);
}

TEST_F(ChassisFile, TypeNamesEndAtASpaceAndKeepACarriageReturn) {
  load("$CHASSISTYPE big box\n\n$CHASSISTYPE cr\r\n\n$CHASSISTYPE " +
       std::string(60, 'n') + "\n\n$CHASSISTYPE big\n\n");
  ASSERT_EQ(mycluster.numchassis, 4);
  EXPECT_STREQ(mychassis[0].name, "big");
  EXPECT_STREQ(mychassis[1].name, "cr\r");
  EXPECT_EQ(std::string(mychassis[2].name), std::string(49, 'n'));
  // The same type twice: both exist, lookups find the first.
  EXPECT_EQ(mycluster.findchassis("big"), &mychassis[0]);
  EXPECT_EQ(mycluster.findchassis("cr"), nullptr);
}

TEST_F(ChassisFile, ShortLinesAndCriticalMarks) {
  load(
      "$CHASSISTYPE c\n$$TEMPCOUNT 1\n$$DISCCOUNT 4\n"
      "$$TEMP1 T1 Temp1 -7.5\n"
      "$$DISC1 D1 Disc1 1\n$$DISC2 D2 Disc2 0\n$$DISC3 D3 Disc3 \n"
      "$$DISC4 D4 Disc4\n\n");
  chassis& c = mychassis[0];
  EXPECT_DOUBLE_EQ(c.templimit[0][CRITLOW], -7.5);
  EXPECT_DOUBLE_EQ(c.templimit[0][ALERTLOW], 0.0);
  EXPECT_DOUBLE_EQ(c.templimit[0][ALERTHIGH], 0.0);
  EXPECT_DOUBLE_EQ(c.templimit[0][CRITHIGH], 0.0);
  EXPECT_TRUE(c.disccrit[0]);
  EXPECT_FALSE(c.disccrit[1]);
  EXPECT_FALSE(c.disccrit[2]);
  EXPECT_FALSE(c.disccrit[3]);
  EXPECT_STREQ(c.discname[3], "Disc4");
}

TEST_F(ChassisFile, IndicesCountFromOneAndLaterLinesWin) {
  load(
      "$CHASSISTYPE c\n$$VOLTCOUNT 150\n$$VOLT150 V Volt150 1 2 3 4\n"
      "$$FANCOUNT 1\n$$FAN1 a A 1 2 3 4\n$$FAN1 b B 5 6 7 8\n"
      "$$FAN01 c C 9 9 9 9\n\n",
      false);
  chassis& c = mychassis[0];
  EXPECT_STREQ(c.voltname[149], "Volt150");
  EXPECT_DOUBLE_EQ(c.voltlimit[149][CRITHIGH], 4);
  EXPECT_EQ(c.voltname[148], nullptr);
  EXPECT_STREQ(c.fanname[0], "C");
}

TEST_F(ChassisFile, UnmatchedSectionLinesAreIgnored) {
  // A sensor line before its count, a misspelt keyword, a count that is no
  // number, an index without its space.
  load(
      "$CHASSISTYPE c\n$$FAN1 early Early 1 2 3 4\n$$FANCOUNT 1\n"
      "$$FANS 7\n$$TEMPCOUNT many\n$$FAN1\n$$FAN1 f F 1 2 3 4\n\n");
  chassis& c = mychassis[0];
  EXPECT_EQ(c.numfans, 1);
  EXPECT_EQ(c.numtemps, 0);
  EXPECT_STREQ(c.fanname[0], "F");
}

TEST_F(ChassisFile, ValidationNamesTheFirstMissingSlot) {
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 2\n$$FAN1 a A\n$$FAN3 b B\n\n",
              "Failed to find or parse FAN2 for chassis c\nExiting now.\n");
  expectfatal("$CHASSISTYPE c\n$$TEMPCOUNT 1\n\n",
              "Failed to find or parse TEMP1 for chassis c\nExiting now.\n");
  expectfatal("$CHASSISTYPE c\n$$VOLTCOUNT 1\n\n",
              "Failed to find or parse VOLT1 for chassis c\nExiting now.\n");
  expectfatal("$CHASSISTYPE c\n$$DISCCOUNT 2\n$$DISC1 a A 1\n\n",
              "Failed to find or parse DISC2 for chassis c\nExiting now.\n");
  // The last line has no newline and is not read.
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 1\n$$FAN1 a A",
              "Failed to find or parse FAN1 for chassis c\nExiting now.\n");
}

TEST_F(ChassisFile, MalformedFilesAreFatal) {
  expectfatal("\r\n",
              "Unknown line encountered in chassis configuration "
              "file:\n\r\n\nExiting now.\n");
  expectfatal("$$FANCOUNT 1\n",
              "Unknown line encountered in chassis "
              "configuration file:\n$$FANCOUNT 1\n\n");
  // A line longer than the buffer comes in pieces; the rest of a long
  // comment is then a line of its own.
  expectfatal("!" + std::string(398, 'x') + "yz\n",
              "Unknown line encountered in chassis configuration "
              "file:\nyz\n\nExiting now.\n");
  std::string many;
  for (int i = 0; i < MAXCHASSIS + 1; i++) many += "$CHASSISTYPE t\n\n";
  expectfatal(many, "Maximum chassis count of 100 exceeded.\n");
  configerror err;
  EXPECT_FALSE(parsechassis("/nonexistent/c.dat", &mycluster, &err));
  EXPECT_EQ(err.text,
            "Unable to open chassis configuration file: "
            "/nonexistent/c.dat\nExiting now.\n");
}

TEST_F(ChassisFile, ValuesTheTablesCannotHoldAreRefused) {
  expectfatal("$CHASSISTYPE\n\n", "Chassis type without a name");
  expectfatal("$CHASSISTYPE  x\n\n", "Chassis type without a name");
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 65\n\n", "FAN count out of range");
  expectfatal("$CHASSISTYPE c\n$$TEMPCOUNT 193\n\n", "TEMP count out of range");
  expectfatal("$CHASSISTYPE c\n$$VOLTCOUNT -1\n\n", "VOLT count out of range");
  expectfatal("$CHASSISTYPE c\n$$DISCCOUNT 33\n\n", "DISC count out of range");
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 1\n$$FAN0 a A\n\n",
              "FAN sensor index out of range");
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 1\n$$FAN65 a A\n\n",
              "FAN sensor index out of range");
  expectfatal("$CHASSISTYPE c\n$$TEMPCOUNT 1\n$$TEMP193 a A\n\n",
              "TEMP sensor index out of range");
  expectfatal("$CHASSISTYPE c\n$$DISCCOUNT 1\n$$DISC100 a A\n\n",
              "DISC sensor index out of range");
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 1\n$$FAN1 a " + std::string(96, 'n') +
                  " 1\n\n",
              "Sensor field too long");
  expectfatal("$CHASSISTYPE c\n$$FANCOUNT 1\n$$FAN1 a A " +
                  std::string(120, '1') + "\n\n",
              "Sensor field too long");
}

TEST(ParseSensor, SplitsAtSingleSpacesAndHonoursQuotes) {
  tarnsensor s;
  char line1[] = "CPU \"CPU 1 Temp\" 1e1  7junk\n";
  ASSERT_EQ(parsesensor(&s, line1), 1);
  EXPECT_STREQ(s.shortname, "CPU");
  EXPECT_STREQ(s.name, "CPU 1 Temp");
  EXPECT_DOUBLE_EQ(s.critlow, 10.0);
  EXPECT_DOUBLE_EQ(s.alertlow, 0.0);  // empty field between two spaces
  EXPECT_DOUBLE_EQ(s.alerthigh, 7.0);
  EXPECT_DOUBLE_EQ(s.crithigh, 0.0);
  char line2[] = "a b\xff 5 6 7 8\n";  // a 0xFF byte ends the text
  ASSERT_EQ(parsesensor(&s, line2), 1);
  EXPECT_STREQ(s.name, "b");
  EXPECT_DOUBLE_EQ(s.critlow, 0.0);
  std::string longest =
      "a " + std::string(95, 'n') + " " + std::string(119, '2') + "\n";
  ASSERT_EQ(parsesensor(&s, const_cast<char*>(longest.c_str())), 1);
  EXPECT_EQ(strlen(s.name), 95u);
}

}  // namespace

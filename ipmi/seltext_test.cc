#include "ipmi/seltext.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

// A system event record's 13 data bytes: time stamp, generator 20h, format
// revision 04h, sensor type and number, direction|type, offset.
selevent record(unsigned char type, unsigned char num, unsigned char dirtype,
                unsigned char offset, unsigned stamp = 1289,
                unsigned recordtype = SELSYSTEMEVENT) {
  const unsigned char data[13] = {static_cast<unsigned char>(stamp),
                                  static_cast<unsigned char>(stamp >> 8),
                                  static_cast<unsigned char>(stamp >> 16),
                                  static_cast<unsigned char>(stamp >> 24),
                                  0x20,
                                  0,
                                  0x04,
                                  type,
                                  num,
                                  dirtype,
                                  offset,
                                  0xff,
                                  0xff};
  selevent e = {};
  EXPECT_TRUE(decodeselrecord(7, recordtype, data, sizeof data, &e));
  return e;
}

std::string words(const selevent& e) {
  char out[128];
  describeselevent(e, out, sizeof out);
  return out;
}

std::string line(const selevent& e, const char* sensor) {
  char out[256];
  size_t n = formatselline("node01", e, sensor, out, sizeof out);
  EXPECT_EQ(n, strlen(out));
  return out;
}

TEST(SelRecord, DecodesTheFieldsAndRefusesAShortOne) {
  selevent e = record(0x0c, 0x40, 0x80 | SELSPECIFIC, 0xa1, 0x6b165c04);
  EXPECT_EQ(e.recordid, 7u);
  EXPECT_EQ(e.timestamp, 0x6b165c04);
  EXPECT_EQ(e.sensortype, 0x0c);
  EXPECT_EQ(e.sensornum, 0x40);
  EXPECT_EQ(e.eventtype, SELSPECIFIC);
  EXPECT_EQ(e.offset, 1);  // the upper bits of the byte say other things
  EXPECT_FALSE(e.asserted);
  EXPECT_EQ(record(1, 1, SELTHRESHOLD, 0, 0xffffffffu).timestamp, SELNOTIME);
  // OEM records keep their stamp below E0h and have none from there on.
  EXPECT_EQ(record(9, 9, 9, 9, 1, 0xd0).timestamp, 1);
  EXPECT_EQ(record(9, 9, 9, 9, 1, 0xd0).sensortype, 0);
  EXPECT_EQ(record(9, 9, 9, 9, 1, 0xe0).timestamp, SELNOTIME);

  const unsigned char twelve[12] = {};
  EXPECT_FALSE(decodeselrecord(1, SELSYSTEMEVENT, twelve, sizeof twelve, &e));
  EXPECT_EQ(e.recordid, 7u);
}

TEST(SelWords, DecodeTypeAndOffset) {
  EXPECT_EQ(words(record(0x0c, 1, SELSPECIFIC, 1)),
            "Memory: uncorrectable ECC");
  EXPECT_EQ(words(record(0x08, 1, SELSPECIFIC, 1)),
            "Power supply: failure detected");
  EXPECT_EQ(words(record(0x07, 1, SELSPECIFIC, 0)), "Processor: IERR");
  EXPECT_EQ(words(record(0x01, 1, SELTHRESHOLD, 9)),
            "Temperature: upper critical going high");
  EXPECT_EQ(words(record(0x0c, 1, 0x07, 2)),
            "Memory: transition to critical from less severe");
  // Past the table's offsets, an unknown type, an OEM type, an OEM record.
  EXPECT_EQ(words(record(0x0c, 1, SELSPECIFIC, 14)), "Memory: offset 14");
  EXPECT_EQ(words(record(0x2d, 1, SELSPECIFIC, 3)),
            "sensor type 0x2d: offset 3");
  EXPECT_EQ(words(record(0xc5, 1, SELSPECIFIC, 3)),
            "OEM sensor type 0xc5: offset 3");
  EXPECT_EQ(words(record(0, 0, 0, 0, 1, 0xd0)), "OEM record 0xd0");
  char small[8];  // cut, never overrun
  EXPECT_EQ(describeselevent(record(0x0c, 1, SELSPECIFIC, 1), small, 8), 7u);
  EXPECT_STREQ(small, "Memory:");
}

TEST(SelSeverity, CriticalClassesAssertedOnly) {
  struct {
    unsigned char type, offset;
  } critical[] = {{0x0c, 1}, {0x0c, 2}, {0x07, 0}, {0x07, 1}, {0x07, 11},
                  {0x08, 1}, {0x08, 3}, {0x09, 4}, {0x13, 8}, {0x13, 1},
                  {0x11, 0}, {0x23, 1}, {0x0f, 0}, {0x05, 0}};
  for (auto c : critical) {
    selevent e = record(c.type, 1, SELSPECIFIC, c.offset);
    EXPECT_EQ(selseverity(e), SEL_CRITICAL) << words(e);
    e.asserted = false;
    EXPECT_EQ(selseverity(e), SEL_INFO) << words(e);
  }
  EXPECT_EQ(selseverity(record(0x0c, 1, SELSPECIFIC, 0)), SEL_WARNING);
  EXPECT_EQ(selseverity(record(0x08, 1, SELSPECIFIC, 0)), SEL_INFO);
  // Threshold crossings are the limits' business: a warning here.
  EXPECT_EQ(selseverity(record(0x01, 1, SELTHRESHOLD, 11)), SEL_WARNING);
  EXPECT_EQ(selseverity(record(0x0c, 1, SELSPECIFIC, 14)), SEL_INFO);
  EXPECT_EQ(selseverity(record(0xc5, 1, SELSPECIFIC, 1)), SEL_INFO);
}

TEST(SelLine, NamesNodeTimeSensorEventAndDirection) {
  EXPECT_EQ(line(record(0x08, 4, SELSPECIFIC, 1, 0x6b165c04), "PSU1 Status"),
            "Hardware event on node01 at 2026-12-07 07:11:00 UTC: PSU1 "
            "Status: Power supply: failure detected, asserted\n");
  selevent e = record(0x0c, 0x40, 0x80 | SELSPECIFIC, 0);
  EXPECT_EQ(line(e, nullptr),
            "Hardware event on node01 at BMC time +1289 s: sensor 0x40 "
            "(Memory): Memory: correctable ECC, deasserted\n");
  e.timestamp = SELNOTIME;
  e.recordtype = 0xe1;
  EXPECT_EQ(line(e, ""),
            "Hardware event on node01 at no time stamp: OEM record 0xe1\n");
}

}  // namespace

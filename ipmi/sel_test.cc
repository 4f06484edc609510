#include "ipmi/sel.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

selentry entry(unsigned id, int severity) {
  selentry e = {};
  e.event.recordid = id;
  e.severity = severity;
  return e;
}

TEST(SelRing, KeepsTheLastEntriesOldestFirstAndCountsAll) {
  auto r = std::make_unique<selrecord>();
  EXPECT_TRUE(r->recent().empty());
  for (unsigned id = 1; id <= 3; id++) r->keep(entry(id, SEL_WARNING));
  std::vector<selentry> kept = r->recent();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].event.recordid, 1u);
  EXPECT_EQ(kept[2].event.recordid, 3u);

  // A burst, read meanwhile by another thread as the HTTP endpoints would.
  std::thread reader([&r] {
    for (int i = 0; i < 200; i++)
      EXPECT_LE(r->recent().size(), size_t(SELKEPT));
  });
  for (unsigned id = 4; id <= 10000; id++)
    r->keep(entry(id, id % 2 ? SEL_CRITICAL : SEL_INFO));
  reader.join();
  kept = r->recent();
  ASSERT_EQ(kept.size(), size_t(SELKEPT));
  EXPECT_EQ(kept.front().event.recordid, 10000u - SELKEPT + 1);
  EXPECT_EQ(kept.back().event.recordid, 10000u);
  EXPECT_EQ(r->count(SEL_WARNING), 3u);
  EXPECT_EQ(r->count(SEL_CRITICAL), 4998u);
  EXPECT_EQ(r->count(SEL_INFO), 4999u);
  EXPECT_EQ(r->count(NUMSELSEVERITIES), 0u);
}

TEST(SelMark, OnlyWhatLiesBeyondEverythingSeenIsNew) {
  selrecord r;
  EXPECT_TRUE(r.advance(100, 5));   // the first entry seen
  EXPECT_FALSE(r.advance(100, 5));  // given again
  EXPECT_FALSE(r.advance(99, 9));   // older, whatever its id
  EXPECT_TRUE(r.advance(100, 6));   // same second, later id
  // The log was cleared (or wrapped) and ids start again: later stamps.
  EXPECT_TRUE(r.advance(101, 1));
  EXPECT_TRUE(r.advance(101, 2));
  // A restarted BMC gives its whole log again: nothing beyond the mark.
  for (unsigned id = 1; id <= 2; id++) EXPECT_FALSE(r.advance(101, id));
  // Records without a time stamp go by id.
  EXPECT_FALSE(r.advance(SELNOTIME, 2));
  EXPECT_TRUE(r.advance(SELNOTIME, 3));
  EXPECT_TRUE(r.advance(102, 1));
}

}  // namespace

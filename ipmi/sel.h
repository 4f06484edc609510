// What the daemon keeps of a node's system event log (SEL), in the record
// its ipmi_link owns.
//
// Design: OpenIPMI rescans each BMC's SEL on its own timer and hands every
// entry it has not seen before to the domain's event handler, on the main
// thread inside the event loop (ipmi/sel.cc). The handler decides whether
// the entry is new to the daemon (the mark below), logs it, keeps it in a
// ring of the last SELKEPT entries and counts it by severity. Any thread
// (the HTTP endpoints) may copy the ring out and read the counters: the ring
// is guarded by the record's one mutex, the counters are atomic. The mark
// and the flags belong to the main thread.
#ifndef KESTREL_IPMI_SEL_H_
#define KESTREL_IPMI_SEL_H_

#include <atomic>
#include <vector>

#include "ipmi/seltext.h"
#include "model/locks.h"

// Entries kept per node for the HTTP endpoints.
constexpr int SELKEPT = 64;
// Seconds between two reads of a BMC's SEL.
constexpr unsigned SELRESCAN = 10;
// Room for a sensor's name as the BMC gives it (SDR id strings hold 16).
constexpr int SELSENSORLEN = 33;

// One entry as kept: the record, its class and its sensor's name ("" when
// OpenIPMI knows no sensor of that number).
struct selentry {
  selevent event;
  int severity;
  char sensor[SELSENSORLEN];
};

class selrecord {
 public:
  selrecord();
  selrecord(const selrecord&) = delete;
  selrecord& operator=(const selrecord&) = delete;

  // Keeps the entry as the newest, dropping the oldest beyond SELKEPT, and
  // counts it under its severity. Any thread.
  void keep(const selentry& e) EXCLUDES(ringlock);
  // A copy of the kept entries, oldest first. Any thread.
  std::vector<selentry> recent() EXCLUDES(ringlock);
  // Entries kept so far of a severity (SEL_INFO .. SEL_CRITICAL). Any thread.
  unsigned long long count(int severity) const;

  // The "already seen" rule (main thread): true when the entry lies beyond
  // every entry seen so far, ordered by time stamp and then record id, and
  // the mark then moves to it. A log that is cleared or wraps goes on with
  // later time stamps, so its entries count as new whatever their ids; a
  // BMC that gives its log again after a restart or a reconnection gives
  // nothing beyond the mark. An entry without a time stamp is ordered by its
  // id alone. (A BMC clock set back makes its entries look old until it
  // passes the mark again.)
  bool advance(long long timestamp, unsigned recordid);

  // Main thread only.
  bool watching;    // the event handler is registered on the node's domain
  bool baselined;   // the log present at the first contact has been read
  bool saidunread;  // a missing or refused SEL has been reported

 private:
  bool marked;
  long long markstamp;
  unsigned markid;

  lockable ringlock;
  selentry ring[SELKEPT] GUARDED_BY(ringlock);
  int next GUARDED_BY(ringlock);  // where the next entry goes
  int used GUARDED_BY(ringlock);
  std::atomic<unsigned long long> counts[NUMSELSEVERITIES];
};

#endif  // KESTREL_IPMI_SEL_H_

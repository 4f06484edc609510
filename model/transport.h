// The seam between the model and the ways of talking to a BMC. Each
// transport keeps what only it needs (connections, sensor tables, sessions,
// worker threads) in a record of its own that implements this interface;
// the node reaches it through node::link and knows nothing else of it.
//
// The contract, both ways:
// - The model calls poll and command on the main thread only. A transport
//   never waits for a BMC there: it sends, or queues for its own thread.
// - A transport tells the node what it learnt only through the node's
//   reports (model/datastructs.h): reportpower, reportreading,
//   reportanswered, reportunreachable, reportpowerunknown. It may call them
//   from the one thread that handles that node's replies (the main thread
//   for IPMI, whose library calls back there; the node's worker for
//   OpenBMC; the Redfish driver thread), never from two. It writes no node
//   field itself: liveness, power, settling and staleness are the model's.
// - It may read the node's identity (name, credentials, chassis) from any
//   thread, and isdead/ispowered to pace itself.
#ifndef KESTREL_MODEL_TRANSPORT_H_
#define KESTREL_MODEL_TRANSPORT_H_

#include <time.h>

#include "model/defines.h"

#include <atomic>
#include <string>
#include <vector>

class chassis;
class node;

// A TRANSPORT_* kind as operators read it: "IPMI", "OpenBMC", "Redfish".
const char* transportname(int kind);

// Severity classes of a hardware event a BMC logged.
enum { HWEVENT_INFO = 0, HWEVENT_WARNING = 1, HWEVENT_CRITICAL = 2,
       NUMHWSEVERITIES = 3 };

// A hardware event in words, as the HTTP endpoints show it.
struct hardwareevent {
  std::string time;    // the entry's own time stamp, in words
  std::string sensor;  // as the BMC names it, or its number and type
  std::string event;   // sensor type and offset in words
  bool asserted;
  int severity;  // HWEVENT_*
};

// How a transport's requests to one BMC went, for /metrics: how many, the
// seconds they took in all, and the failed ones by kind.
enum { FAIL_TIMEOUT = 0, FAIL_CONNECTION, FAIL_BUSY, FAIL_REFUSED, FAIL_OTHER,
       NUMFAILKINDS };
class bmcrequests {
 public:
  unsigned long long count = 0;
  double seconds = 0.0;
  unsigned long long failures[NUMFAILKINDS] = {};
};

// Counted by the thread that sends a BMC's requests, read by any.
class requestcounters {
 public:
  // One request that took `seconds`: done or not, and its HTTP status.
  void count(double seconds, bool timedout, bool done, long status);
  void read(bmcrequests* out) const;

 private:
  std::atomic<unsigned long long> requests{0};
  std::atomic<unsigned long long> micros{0};
  std::atomic<unsigned long long> failed[NUMFAILKINDS] = {};
};

class transport {
 public:
  virtual ~transport() = default;
  // One polling pass of a node that is due (main thread): queue or send the
  // requests for its power state and readings, never wait for a BMC. True
  // when readings were asked for.
  virtual bool poll(node* n) = 0;
  // POWERON, POWEROFF, RESET or STATUS (main thread); true once handed on,
  // false when it cannot go out (said by the transport). The model keeps one
  // STATUS query outstanding per node; the answer comes as reportpower or
  // reportpowerunknown. A BMC's refusal of a power command is said with the
  // node's name and the BMC's reason.
  virtual bool command(node* n, int code) = 0;
  // The transport as status documents and metrics name it: "ipmi", ...
  virtual const char* name() const = 0;
  // How long the node may go without a reading, or without an answer about
  // its power, before it is dead (main thread). A slow BMC's passes take
  // long: a transport that measures them returns passstalelimit of them.
  virtual time_t stalelimit() const { return STALEAFTER; }
  // What its requests to the node's BMC cost and how they failed; false
  // when this transport does not count them. Any thread.
  virtual bool requeststats(bmcrequests*) const { return false; }
  // The last hardware events the BMC logged, oldest first, and the count of
  // each severity since start (counts[NUMHWSEVERITIES]); false when this
  // transport watches no event log. Any thread.
  virtual bool hardwareevents(std::vector<hardwareevent>*, unsigned long long*) {
    return false;
  }
};

// The staleness limit of a BMC whose last whole pass took `passseconds`
// (0: none measured yet): STALEPASSES such passes, never less than
// STALEAFTER, never more than STALEMOST, so that a slow BMC that answers
// stays alive and a silent one is dead within minutes.
time_t passstalelimit(time_t passseconds);

// Gives a node whose chassis, name and credentials are set the record of its
// chassis's transport and brings its connection up; `readingtime` is when
// the cluster file was opened. Installed by the daemon before the
// configuration is read; read-only after.
extern transport* (*attachtransport)(node* n, time_t readingtime);
// Told of every node the cluster file names before any is attached, so that
// slow preparations (name look-ups) run for all of them at once. Installed
// with attachtransport; may be null.
extern void (*foreseetransport)(const char* nodename, const chassis* c,
                                const char* username);

#endif  // KESTREL_MODEL_TRANSPORT_H_

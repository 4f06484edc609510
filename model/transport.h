// The seam between the model and the ways of talking to a BMC. Each
// transport keeps what only it needs (connections, sensor tables, sessions,
// worker threads) in a record of its own that implements this interface;
// the node reaches it through node::link and knows nothing else of it.
#ifndef KESTREL_MODEL_TRANSPORT_H_
#define KESTREL_MODEL_TRANSPORT_H_

#include <time.h>

#include <string>
#include <vector>

class chassis;
class node;

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

class transport {
 public:
  virtual ~transport() = default;
  // One polling pass of a node that is due (main thread): queue or send the
  // requests for its power state and readings, never wait for a BMC. True
  // when readings were asked for.
  virtual bool poll(node* n) = 0;
  // POWERON, POWEROFF, RESET or STATUS (main thread); 0 once handed on, 1
  // when the BMC cannot be reached for it.
  virtual short command(node* n, int code) = 0;
  // The transport as status documents and metrics name it: "ipmi", ...
  virtual const char* name() const = 0;
  // The last hardware events the BMC logged, oldest first, and the count of
  // each severity since start (counts[NUMHWSEVERITIES]); false when this
  // transport watches no event log. Any thread.
  virtual bool hardwareevents(std::vector<hardwareevent>*, unsigned long long*) {
    return false;
  }
};

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

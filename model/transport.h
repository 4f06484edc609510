// The seam between the model and the ways of talking to a BMC. Each
// transport keeps what only it needs (connections, sensor tables, sessions,
// worker threads) in a record of its own that implements this interface;
// the node reaches it through node::link and knows nothing else of it.
#ifndef KESTREL_MODEL_TRANSPORT_H_
#define KESTREL_MODEL_TRANSPORT_H_

#include <time.h>

class node;

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
};

// Gives a node whose chassis, name and credentials are set the record of its
// chassis's transport and brings its connection up; `readingtime` is when
// the cluster file was opened. Installed by the daemon before the
// configuration is read; read-only after.
extern transport* (*attachtransport)(node* n, time_t readingtime);

#endif  // KESTREL_MODEL_TRANSPORT_H_

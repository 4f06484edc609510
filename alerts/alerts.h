// The pending alert list and the start of its e-mail senders.
#ifndef KESTREL_ALERTS_ALERTS_H_
#define KESTREL_ALERTS_ALERTS_H_

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <list>
#include <memory>

#include "alerts/alert.h"
#include "alerts/email.h"
#include "alerts/hardware.h"
#include "model/locks.h"

class node;

// Hardware events without an alert wait this long after the last e-mail
// that carried some, so that a burst gives one e-mail a minute.
constexpr time_t HARDWAREGAP = 60;

extern flaglock alertlock;  // guards pendingalerts.myalerts

class alerts {
 public:
  // Adds or refreshes the alert of a fan, temperature or voltage sensor.
  void add(int type, node* thisnode, int index, double value,
           const double* limits) EXCLUDES(alertlock);
  // Adds or refreshes the alert of a discrete sensor (four zero limits).
  void add(int type, node* thisnode, int index, double value)
      EXCLUDES(alertlock);
  // The sensor was within limits: drop its alert after 390 s of quiet.
  void prune(int type, node* thisnode, int index) EXCLUDES(alertlock);
  // Drops every alert of a node.
  void remove(node* thisnode) EXCLUDES(alertlock);
  // Writes the alerts that are due, and the waiting hardware events, into
  // the e-mail and starts its sender. Hardware events join any e-mail that
  // goes out; alone they go out at most every HARDWAREGAP seconds, and
  // never while a sender still works (a new e-mail would make it give way).
  // Events stay queued until an e-mail holding them was accepted; while one
  // is on its way, no other e-mail carries events, so none is mailed twice.
  void process() EXCLUDES(alertlock);
  // Writes one due alert into the e-mail (a fresh one unless *added), and
  // powers its node off first when shutdowndue says so.
  void report(alert& a, bool* added, time_t now) REQUIRES(alertlock);
  // Sends the test e-mail.
  void testemail();
  void setupemail(const char* to, const char* from, const char* server);

  std::list<alert> myalerts GUARDED_BY(alertlock);
  email myemail;  // main thread, but for what its senders own
  // Critical hardware events for the next e-mail, when the last e-mail
  // with such events was started, and that e-mail until the pass after it
  // ended; main thread only.
  hardwarequeue hardware;
  time_t hardwaremailed = 0;
  std::shared_ptr<outgoingmail> hardwarejob;

 private:
  // Writes the due alerts into the e-mail; true when any was.
  bool reportdue() REQUIRES(alertlock);
  void startsender();
};

// The automatic shutdown rule: reporting this alert powers its node off
// when it is a critical reading and automatic shutdowns are on, or a
// critical state of a discrete sensor that the chassis marks critical
// (whatever the setting).
bool shutdowndue(const alert& a);

extern alerts pendingalerts;
extern time_t globalreporttime;  // last alert e-mail; main thread only

// Installs the model's alert hooks (model/globals.h) on pendingalerts; once,
// before any thread starts.
void connectalerts();

// Sender thread entry: obj is a heap std::shared_ptr<outgoingmail>.
void* LaunchSendFunction(void* obj);

#endif  // KESTREL_ALERTS_ALERTS_H_

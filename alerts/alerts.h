// The pending alert list and the start of its e-mail senders.
#ifndef KESTREL_ALERTS_ALERTS_H_
#define KESTREL_ALERTS_ALERTS_H_

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <list>

#include "alerts/alert.h"
#include "alerts/email.h"

class node;

class alerts {
 public:
  // Adds or refreshes the alert of a fan, temperature or voltage sensor.
  void add(int type, node* thisnode, int index, double value,
           const double* limits);
  // Adds or refreshes the alert of a discrete sensor (four zero limits).
  void add(int type, node* thisnode, int index, double value);
  // The sensor was within limits: drop its alert after 390 s of quiet.
  void prune(int type, node* thisnode, int index);
  // Drops every alert of a node.
  void remove(node* thisnode);
  // Writes the alerts that are due into the e-mail and starts its sender.
  void process();
  // Sends the test e-mail.
  void testemail();
  void setupemail(const char* to, const char* from, const char* server);

  std::list<alert> myalerts;  // guarded by alertlock
  email myemail;

 private:
  void report(alert& a, bool* added, time_t now);
  void startsender();
};

extern alerts pendingalerts;
extern std::atomic<bool> alertlock;  // guards pendingalerts.myalerts
extern time_t globalreporttime;      // main thread only
extern pthread_t emailthread;        // main thread only

// Takes and releases alertlock: test-and-set, waiting in 5 ms steps.
void lockalerts();
void unlockalerts();

// Sender thread entry: obj is a heap std::shared_ptr<outgoingmail>.
void* LaunchSendFunction(void* obj);

#endif  // KESTREL_ALERTS_ALERTS_H_

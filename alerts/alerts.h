// The pending alert list and the alert e-mail.
#ifndef KESTREL_ALERTS_ALERTS_H_
#define KESTREL_ALERTS_ALERTS_H_

#include <pthread.h>
#include <stddef.h>
#include <time.h>

#include <atomic>
#include <list>

class node;

constexpr size_t EMAILBODYLEN = 262144;

// One pending alert: a sensor of a node seen out of its limits.
class alert {
 public:
  alert(int type, node* thisnode, int index, double value,
        const double* limits);
  bool operator<(const alert& other) const;
  bool matches(int type, node* thisnode, int index) const;
  bool matches(node* thisnode) const;
  int delaytime(bool added) const;

  int type;
  int index;
  long occurances;
  double value;
  double limits[4];
  time_t timestamp;
  time_t reported;
  node* thisnode;
};

// The alert e-mail being composed and the state of its sender.
class email {
 public:
  email();
  void init(const char* to, const char* from, const char* server);
  bool clear();
  bool add(alert a);
  bool addtest();
  void* send();
  static size_t curlSendMail(char* buffer, size_t size, size_t nitems,
                             void* userp);

  std::atomic<short> threadstatus;  // main thread and sender
  char* body;                       // main thread only; senders copy it
  char to[512];
  char from[512];
  char server[256];
  char subject[1024];
  char* bodyindex;
};

class alerts {
 public:
  void add(int type, node* thisnode, int index, double value,
           const double* limits);
  void add(int type, node* thisnode, int index, double value);
  void prune(int type, node* thisnode, int index);
  void remove(node* thisnode);
  void process();
  void testemail();
  void setupemail(const char* to, const char* from, const char* server);

  std::list<alert> myalerts;  // guarded by alertlock
  email myemail;
};

extern alerts pendingalerts;
extern std::atomic<bool> alertlock;
extern time_t globalreporttime;
extern pthread_t emailthread;

void* LaunchSendFunction(void* obj);
size_t curlDiscardWriteback(void* contents, size_t size, size_t nmemb,
                            void* userp);

#endif  // KESTREL_ALERTS_ALERTS_H_

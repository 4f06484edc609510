// Each look-up runs on a detached helper thread, as getaddrinfo cannot be
// cancelled: a set-up that stops waiting leaves it to end on its own. The
// results are kept in one table under its lock, which the helpers fill and
// the main thread reads; the table is never freed, so a helper still running
// at exit finds it.
#include "ipmi/lookup.h"

#include <netdb.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>

#include "model/locks.h"

namespace {

struct lookup {
  bool done = false;
  bool found = false;
  std::string address;
  std::chrono::steady_clock::time_point started;
};

struct lookuptable {
  lockable lock;
  std::map<std::string, lookup> entries GUARDED_BY(lock);
  std::condition_variable_any done;  // signalled as each look-up ends
};

// Made on first use and never freed.
lookuptable& table() {
  static lookuptable* t = new lookuptable;
  return *t;
}

}  // namespace

int resolvehost(const std::string& host, std::string* address) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;  // RMCP
  addrinfo* found = nullptr;
  int rv = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rv != 0) return rv;
  char text[NI_MAXHOST];
  // The first address is the one OpenIPMI would have taken.
  rv = getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text,
                   nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  if (rv == 0) *address = text;
  return rv;
}

namespace {

// What a helper is given; it frees it.
struct lookupjob {
  lookuptable* t;
  std::string host;
  resolver how;
};

// Each look-up's own helper thread.
void* lookupthread(void* arg) {
  lookupjob* job = static_cast<lookupjob*>(arg);
  std::string address;
  bool found = job->how(job->host, &address) == 0;
  {
    holding<lockable> hold(job->t->lock);
    lookup& l = job->t->entries[job->host];
    l.done = true;
    l.found = found;
    l.address = address;
  }
  job->t->done.notify_all();
  delete job;
  return nullptr;
}

}  // namespace

void startlookup(const std::string& host, resolver how) {
  lookuptable& t = table();
  {
    holding<lockable> hold(t.lock);
    if (t.entries.count(host)) return;
    t.entries[host].started = std::chrono::steady_clock::now();
  }
  // Detached from its creation: detaching a helper that may already have
  // ended races with its end under the sanitizers' thread bookkeeping.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t helper;
  lookupjob* job = new lookupjob{&t, host, how};
  if (pthread_create(&helper, &attr, lookupthread, job) != 0) {
    // No thread to be had: an unfound name, which OpenIPMI then looks up.
    delete job;
    holding<lockable> hold(t.lock);
    t.entries[host].done = true;
  }
  pthread_attr_destroy(&attr);
}

bool lookedup(const std::string& host, std::string* address,
              int waitseconds) {
  lookuptable& t = table();
  holding<lockable> hold(t.lock);
  auto it = t.entries.find(host);
  if (it == t.entries.end()) return false;
  auto deadline = it->second.started + std::chrono::seconds(waitseconds);
  while (!it->second.done &&
         t.done.wait_until(t.lock, deadline) != std::cv_status::timeout) {
  }
  if (!it->second.found) return false;
  *address = it->second.address;
  return true;
}

// The pending alert list: counting, ripeness, re-report delays, pruning, and
// the start of the e-mail sender threads.
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "alerts/alerts.h"
#include "model/counters.h"
#include "model/datastructs.h"
#include "model/globals.h"

// The alert list and its lock; alerts/alerts.h says who touches each.
flaglock alertlock;
time_t globalreporttime = 0;  // main thread only
alerts pendingalerts;

namespace {

// An alert is seen on six further passes before it is reported.
constexpr long RIPEOCCURANCES = 5;
// A critical alert is reported again once a reading is this much newer.
constexpr time_t CRITREPORTDELAY = 45;
// Routine reports wait for this much quiet after the last e-mail.
constexpr time_t QUIETTIME = 120;
// An alert lapses after its sensor has been quiet for longer than this.
constexpr time_t PRUNEAGE = 390;
// Re-report delay of a non-critical alert: shorter when an e-mail goes out
// in this cycle anyway.
constexpr int DELAYWITHMAIL = 420;
constexpr int DELAYALONE = 900;

void seen(int kind, node* n, int index, double value, const double* limits) {
  pendingalerts.add(kind, n, index, value, limits);
}
void quiet(int kind, node* n, int index) { pendingalerts.prune(kind, n, index); }
void forget(node* n) { pendingalerts.remove(n); }
void hardware(node* n, const char* line) {
  if (!mycluster.processalerts) return;
  int drain = drainhook.hardware ? drainhook.hardware(n, line) : DRAIN_NONE;
  std::string text = line;
  size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  if (drain == DRAIN_STARTED || drain == DRAIN_ALREADY)
    text += " (node drained in Slurm)";
  pendingalerts.hardware.add(text.c_str());
}

}  // namespace

void connectalerts() { alerthook = {seen, quiet, forget, hardware}; }

alert::alert(int kind, node* n, int slot, double reading, const double* row)
    : type(kind),
      index(slot),
      occurances(0),
      value(reading),
      timestamp(nowtime()),
      reported(0),
      thisnode(n) {
  for (int i = 0; i < NUMLIMITS; i++) limits[i] = row[i];
}

bool alert::operator<(const alert& other) const {
  return timestamp - reported < other.timestamp - other.reported;
}

bool alert::matches(int kind, node* n, int slot) const {
  return type == kind && thisnode == n && index == slot;
}

bool alert::matches(node* n) const { return thisnode == n; }

int alert::delaytime(bool added) const {
  return added ? DELAYWITHMAIL : DELAYALONE;
}

void alerts::add(int type, node* thisnode, int index, double value,
                 const double* limits) {
  holding<flaglock> hold(alertlock);
  bool found = false;
  for (alert& a : myalerts) {
    if (a.matches(type, thisnode, index)) {
      a.value = value;
      a.timestamp = nowtime();
      a.occurances++;
      found = true;
      break;
    }
  }
  if (!found) myalerts.emplace_back(type, thisnode, index, value, limits);
}

void alerts::add(int type, node* thisnode, int index, double value) {
  static const double nolimits[4] = {0.0, 0.0, 0.0, 0.0};
  add(type, thisnode, index, value, nolimits);
}

void alerts::prune(int type, node* thisnode, int index) {
  holding<flaglock> hold(alertlock);
  time_t now = nowtime();
  for (auto it = myalerts.begin(); it != myalerts.end(); ++it) {
    if (it->matches(type, thisnode, index)) {
      if (now - it->timestamp > PRUNEAGE) myalerts.erase(it);
      break;
    }
  }
}

void alerts::remove(node* thisnode) {
  holding<flaglock> hold(alertlock);
  myalerts.remove_if(
      [thisnode](const alert& a) { return a.matches(thisnode); });
}

bool shutdowndue(const alert& a) {
  if (a.type == DISC) {
    const chassis* c = a.thisnode->thischassis;
    return c && a.index >= 0 && a.index < MAXDISCS && c->disccrit[a.index] &&
           a.value == IPMI_DISC_CRIT;
  }
  int c = comparelimits(a.value, a.limits);
  return (c == -2 || c == 2) && mycluster.processshutdown();
}

void alerts::report(alert& a, bool* added, time_t now) {
  if (!*added) myemail.clear();
  *added = true;
  a.reported = now;
  globalreporttime = now;
  bool poweroff = shutdowndue(a);
  // The drain comes first: jobs are kept off the node before it goes down.
  int drain = drainhook.alerted ? drainhook.alerted(a.thisnode, a.type, a.index,
                                                    a.value, a.limits)
                                : DRAIN_NONE;
  // The power-off stands whether or not the entry fits.
  if (poweroff) mycluster.poweroffnode(a.thisnode->name);
  myemail.add(a, poweroff, drain);
}

void alerts::process() {
  bool added = false;
  {
    holding<flaglock> hold(alertlock);
    counters.alertspending = myalerts.size();
    if (!myalerts.empty()) added = reportdue();
  }
  time_t now = nowtime();
  if (hardwarejob && hardwarejob->finished) {
    hardware.settle(hardwarejob->accepted);
    hardwarejob.reset();
  }
  bool withhardware =
      hardware.ready() &&
      (added || (!myemail.sending() && now - hardwaremailed >= HARDWAREGAP));
  size_t before = 0;
  if (withhardware) {
    if (!added) myemail.clear();
    added = true;
    hardwaremailed = now;
    before = static_cast<size_t>(myemail.bodyindex - myemail.body);
    if (!myemail.addsection(hardware.take())) {
      // Not in this e-mail: the events wait for the next.
      hardware.settle(false);
      withhardware = false;
    }
  }
  if (added) startsender();
  if (withhardware) {
    hardwarejob = myemail.current;
    // The sender has its copy. A test e-mail resends the body as it stands,
    // and must not mail these events a second time.
    myemail.bodyindex = myemail.body + before;
    *myemail.bodyindex = '\0';
  }
}

bool alerts::reportdue() {
  // Never-reported alerts first, the most recently seen of them first.
  myalerts.sort();
  myalerts.reverse();

  bool added = false;
  time_t now = nowtime();
  for (alert& a : myalerts) {
    if (a.occurances <= RIPEOCCURANCES) continue;
    int c = comparelimits(a.value, a.limits);
    bool critical =
        (a.type == DISC && a.value == IPMI_DISC_CRIT) || c == -2 || c == 2;
    if (critical && a.timestamp - a.reported > CRITREPORTDELAY)
      report(a, &added, now);
  }
  if (now - globalreporttime > QUIETTIME || added) {
    for (alert& a : myalerts) {
      if (a.occurances > RIPEOCCURANCES &&
          a.timestamp - a.reported > a.delaytime(added))
        report(a, &added, now);
    }
  }
  return added;
}

void alerts::testemail() {
  if (!myemail.configured()) {
    error_msg(
        "Cannot send a test email: email alerts are not configured, since "
        "alerts processing is not enabled in the cluster config file\n");
    return;
  }
  myemail.addtest();
  startsender();
}

void alerts::setupemail(const char* to, const char* from, const char* server) {
  myemail.init(to, from, server);
}

void alerts::startsender() {
  std::shared_ptr<outgoingmail> job = myemail.prepare();
  {
    holding<lockable> hold(myemail.senderlock);
    short status = myemail.threadstatus.load();
    if (status == ALERT_STATUS_IDLE || status == ALERT_STATUS_DONE) {
      myemail.threadstatus = ALERT_STATUS_SPUN;
    } else {
      // The previous sender gives way at its next progress check and from
      // now on leaves the status alone.
      if (myemail.current) myemail.current->cancelled = true;
      error_msg(
          "Last warning email did not complete sending before next mail was "
          "ready.  Terminated previous one and sending new.\n");
    }
    myemail.current = job;
  }
  auto* arg = new std::shared_ptr<outgoingmail>(job);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (pthread_create(&thread, &attr, LaunchSendFunction, arg) != 0) {
    // Not reported: the status stays as it is and the next e-mail starts
    // afresh.
    job->finished = true;
    delete arg;
  }
  pthread_attr_destroy(&attr);
}

void* LaunchSendFunction(void* obj) {
  std::unique_ptr<std::shared_ptr<outgoingmail>> job(
      static_cast<std::shared_ptr<outgoingmail>*>(obj));
  return (*job)->owner->send(job->get());
}

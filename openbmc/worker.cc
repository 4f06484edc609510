// The REST worker of an OpenBMC node: one thread per node that makes the
// node's first login and then runs its queued tasks, one at a time, over the
// node's libcurl handle. The main thread only queues tasks (poll, command);
// the worker alone talks to the BMC and writes what it learns into the node,
// so no BMC, however slow, holds up start-up or another node.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "config/tls.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "openbmc/openbmc.h"

namespace {

// Blocks until a task is queued and takes it: an idle worker costs nothing,
// and a queued task starts at once.
int waitfortask(openbmc_link* l) {
  holding<lockable> hold(l->curlTaskLock);
  while (l->curlTasks.empty()) l->curlTaskCond.wait(l->curlTaskLock);
  int task = l->curlTasks.front();
  l->curlTasks.pop_front();
  return task;
}

// A configuration string of the chassis, kept for the whole run.
openbmc_sensor* newopenbmcsensor(node* n, char* name, char* shortname) {
  openbmc_sensor* s = new openbmc_sensor();
  s->name = name;
  s->shortname = shortname;
  s->owner = n;
  s->value = 0.0;
  return s;
}

}  // namespace

openbmc_link::openbmc_link(node* n)
    : owner(n),
      curl(nullptr),
      curlURL(nullptr),
      curlDATA(nullptr),
      curlCurSens(nullptr),
      curlLastPwrOnCmd(0),
      res(CURLE_OK),
      curlReplyTooLong(false),
      curlPassBegan(0),
      curlPassFailed(false),
      curlWatts(false),
      openBmcFans(),
      openBmcTemps(),
      openBmcVolts(),
      curlthread(),
      curlLoggedIn(false),
      curlInLogin(false) {}

openbmc_sensor** openbmc_link::sensortable(int kind) {
  switch (kind) {
    case FAN:
      return openBmcFans;
    case TEMP:
      return openBmcTemps;
    case VOLT:
      return openBmcVolts;
    default:
      return nullptr;
  }
}

bool openbmc_link::curlSetup() {
  curl = curl_easy_init();
  if (!curl) return false;
  curlURL = static_cast<char*>(calloc(1, CURLURLLEN));
  curlDATA = static_cast<char*>(calloc(1, CURLDATALEN));
  return curlURL && curlDATA;
}

bool openbmc_link::curlInit(bool loginfirst) {
  if (!curlSetup()) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rv = pthread_create(&curlthread, &attr,
                          loginfirst ? curlFirstThread : curlNodeThread, this);
  pthread_attr_destroy(&attr);
  return rv == 0;
}

bool openbmc_link::curlAddTask(int task) {
  {
    holding<lockable> hold(curlTaskLock);
    curlTasks.push_back(task);
  }
  curlTaskCond.notify_one();
  return true;
}

bool openbmc_link::curlAddTaskOnce(int task) {
  {
    holding<lockable> hold(curlTaskLock);
    for (int queued : curlTasks)
      if (queued == task) return false;
    curlTasks.push_back(task);
  }
  curlTaskCond.notify_one();
  return true;
}

bool openbmc_link::poll(node* n) {
  if (n->isdead()) {
    // A status task at the dead-node pace makes the worker log in again, and
    // the power-state reply brings the node back.
    curlAddTaskOnce(STATUS);
    return false;
  }
  if (!n->ispowered()) {
    curlAddTaskOnce(STATUS);
    return false;
  }
  if (curlInLogin) return false;
  curlAddTaskOnce(STATUS);
  curlAddTaskOnce(GETDATA);
  return true;
}

bool openbmc_link::command(node*, int code) {
  switch (code) {
    case POWEROFF:
    case POWERON:
    case RESET:
      curlAddTask(code);
      return true;
    case STATUS:
      curlAddTaskOnce(STATUS);  // one outstanding
      return true;
    default:
      fprintf(stderr, "Unknown command code %i issued", code);
      return false;
  }
}

void openbmc_link::curlFirstLogin() {
  // A failure is retried by the next task that needs a session.
  if (curlLogin(this, false) || curlReplyTooLong) return;
  // The worker's own buffer: tmperrmsg belongs to the main thread.
  char msg[MSGLEN];
  snprintf(msg, sizeof msg,
           "OpenBMC login on %s%s failed: %s.\nIs the node available?\n",
           owner->name, "-ipmi", transfererror(curl, res));
  error_msg(msg);
}

void* openbmc_link::curlFirstThread(void* thelink) {
  static_cast<openbmc_link*>(thelink)->curlFirstLogin();
  return curlNodeThread(thelink);
}

void* openbmc_link::curlNodeThread(void* thelink) {
  openbmc_link* l = static_cast<openbmc_link*>(thelink);
  for (;;) {
    int task = waitfortask(l);
    time_t now = nowtime();
    if (task < 0 || task > LOGIN || task == NONE) continue;
    if (task == QUIT) return nullptr;
    // Power tasks come from the operator or a shutdown: their logins wait
    // for no back-off. Every task but LOGIN needs a session; without one it
    // is dropped, and the poll queues the next.
    bool bycommand = task == POWERON || task == POWEROFF || task == RESET;
    // The poll queues a status task, then the readout: a pass. A readout
    // queued alone is a pass of its own.
    if (task == STATUS || (task == GETDATA && l->curlPassBegan == 0)) {
      l->curlPassBegan = now;
      l->curlPassFailed = false;
    }
    if (task == LOGIN || !l->curlLoggedIn) {
      if (!bycommand && !l->curlPacer.maylogin(nowtime())) continue;
      curlLogin(l, bycommand);
      if (task == LOGIN || !l->curlLoggedIn) continue;
    }
    switch (task) {
      case STATUS:
        if (now - l->curlLastPwrOnCmd <= POWERONSETTLE) break;
        curlpowerstate(l);
        break;
      case POWERON:
      case POWEROFF:
      case RESET:
        curlpowercommand(l, task, now);
        break;
      case GETDATA:
        curlreadsensors(l);
        if (!l->curlPassFailed)
          l->passseconds = nowtime() - l->curlPassBegan;
        l->curlPassBegan = 0;
        break;
    }
  }
}

transport* openbmc_attach(node* n) {
  openbmc_link* l = new openbmc_link(n);
  // Everything the worker reads is set before it starts.
  for (int kind = FAN; kind < DISC; kind++) {
    chassisslots slots = n->thischassis->slots(kind);
    openbmc_sensor** table = l->sensortable(kind);
    for (int i = 0; i < slots.count; i++)
      table[i] = newopenbmcsensor(n, slots.names[i], slots.labels[i]);
  }
  if (!l->curlInit(true))
    fatalf(1, "Failed to initialize OpenBmc variables for %s. Exiting.\n",
           n->name);
  return l;
}

// The REST worker of an OpenBMC node: one thread per node that runs the
// node's queued tasks, one at a time, over the node's libcurl handle.
#include <pthread.h>
#include <stdlib.h>

#include "daemon/globals.h"
#include "model/datastructs.h"
#include "openbmc/openbmc.h"

namespace {

// Blocks until a task is queued and takes it: an idle worker costs nothing,
// and a queued task starts at once.
int waitfortask(node* n) {
  std::unique_lock<std::mutex> lock(n->curlTaskLock);
  n->curlTaskCond.wait(lock, [n] { return !n->curlTasks.empty(); });
  int task = n->curlTasks.front();
  n->curlTasks.pop_front();
  return task;
}

}  // namespace

bool node::curlInit() {
  curl = curl_easy_init();
  if (!curl) return false;
  curlURL = static_cast<char*>(calloc(1, CURLURLLEN));
  curlDATA = static_cast<char*>(calloc(1, CURLDATALEN));
  if (!curlURL || !curlDATA) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rv = pthread_create(&curlthread, &attr, curlNodeThread, this);
  pthread_attr_destroy(&attr);
  return rv == 0;
}

bool node::curlAddTask(int task) {
  {
    std::lock_guard<std::mutex> lock(curlTaskLock);
    curlTasks.push_back(task);
  }
  curlTaskCond.notify_one();
  return true;
}

bool node::curlAddTaskOnce(int task) {
  {
    std::lock_guard<std::mutex> lock(curlTaskLock);
    for (int queued : curlTasks)
      if (queued == task) return false;
    curlTasks.push_back(task);
  }
  curlTaskCond.notify_one();
  return true;
}

int node::curlNext() {
  std::lock_guard<std::mutex> lock(curlTaskLock);
  if (curlTasks.empty()) return NONE;
  int task = curlTasks.front();
  curlTasks.pop_front();
  return task;
}

void* node::curlNodeThread(void* thenode) {
  node* n = static_cast<node*>(thenode);
  for (;;) {
    int task = waitfortask(n);
    time_t now = nowtime();
    if (task < 0 || task > LOGIN || task == NONE) continue;
    if (task == QUIT) return nullptr;
    if (task == LOGIN) {
      curlLogin(n);
      continue;
    }
    // Every other task needs a session; without one it is dropped.
    if (!n->curlLoggedIn) {
      curlLogin(n);
      if (!n->curlLoggedIn) continue;
    }
    switch (task) {
      case STATUS:
        // A BMC still reports the old state for a while after a power-on.
        if (now - n->curlLastPwrOnCmd <= 19) break;
        curlpowerstate(n);
        break;
      case POWERON:
      case POWEROFF:
      case RESET:
        curlpowercommand(n, task, now);
        break;
      case GETDATA:
        curlreadsensors(n);
        break;
    }
  }
}

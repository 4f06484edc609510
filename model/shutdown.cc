// Automatic shutdown of a node with a critical reading. One thread runs the
// clean shutdown (ssh to the node's /sbin/poweroff); a second one makes sure
// the node goes down: it bounds the ssh client at 60 s by killing it, then
// hands a BMC power-off to the main thread about 100 s after the start.
#include "model/shutdown.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <string>

#include "model/counters.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "util/spawnattr.h"

extern char** environ;

namespace {

constexpr time_t FIRSTWAIT = 10;      // before the wait for ssh begins
constexpr time_t SSHLIMIT = 60;       // longest wait for the ssh client
constexpr time_t LATEWAIT = 45;       // after an ssh client that took long
constexpr time_t POWEROFFAFTER = 90;  // from the start of the wait
constexpr useconds_t POLLSTEP = 50000;  // of the waits below

// Starts `sshpath node /sbin/poweroff` without a shell, all three standard
// streams on /dev/null. Returns the child's pid, or -1.
pid_t spawnssh(const char* nodename) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  plainchildattr(&attr);
  char* argv[] = {const_cast<char*>(sshpath), const_cast<char*>(nodename),
                  const_cast<char*>("/sbin/poweroff"), nullptr};
  pid_t pid;
  int rv = posix_spawn(&pid, sshpath, &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rv == 0 ? pid : -1;
}

// Marks the clean-shutdown thread finished; frees the block if no enforcing
// thread will.
void finishssh(shutdown_node* block) {
  bool orphan;
  {
    holding<lockable> hold(block->childlock);
    block->sshdone = true;
    orphan = block->orphan;
  }
  if (orphan) delete block;
}

}  // namespace

void sleepuntil(time_t t) {
  while (nowtime() < t) usleep(POLLSTEP);
}

void* safeShutdown(void* arg) {
  shutdown_node* block = static_cast<shutdown_node*>(arg);
  node* n = block->thisnode;
  char command[499];
  char msg[799];
  snprintf(command, sizeof command, "%s %s /sbin/poweroff", sshpath, n->name);
  snprintf(msg, sizeof msg, "Safely shutting down %s with this command: %s\n",
           n->name, command);
  error_msg(msg);

  // A name that starts with "-" would be read by ssh as an option.
  pid_t pid = n->name[0] == '-' ? -1 : spawnssh(n->name);
  if (pid < 0) {
    error_msg("Failed to send rsh poweroff\n");
    finishssh(block);
    return nullptr;
  }
  {
    holding<lockable> hold(block->childlock);
    block->child = pid;
    if (block->giveup) kill(pid, SIGKILL);
  }
  // Wait without reaping, so that the pid cannot be reused while the
  // enforcing thread may still kill it.
  siginfo_t info;
  while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    holding<lockable> hold(block->childlock);
    block->child = 0;
  }
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (alerthook.forget) alerthook.forget(n);
  finishssh(block);
  return nullptr;
}

void* ensureShutdown(void* arg) {
  shutdown_node* block = static_cast<shutdown_node*>(arg);
  node* n = block->thisnode;
  sleepuntil(nowtime() + FIRSTWAIT);
  time_t start = nowtime();
  if (block->sshstarted) {
    while (!block->sshdone && nowtime() < start + SSHLIMIT) usleep(POLLSTEP);
    if (!block->sshdone) {
      holding<lockable> hold(block->childlock);
      block->giveup = true;
      if (block->child > 0) kill(block->child, SIGKILL);
    }
    pthread_join(block->thread, nullptr);
  }
  time_t now = nowtime();
  if (now - start > LATEWAIT)
    sleepuntil(now + LATEWAIT);
  else
    sleepuntil(start + POWEROFFAFTER);

  char msg[MSGLEN];
  snprintf(msg, sizeof msg,
           "Completing auto-shutdown of %s with an IPMI power off to ensure it "
           "is completely down.\n",
           n->name);
  error_msg(msg);
  mycluster.queuepoweroff(n->name);
  *block->inShutdown = false;
  if (alerthook.forget) alerthook.forget(n);
  delete block;
  return nullptr;
}

void node::shutdown() {
  if (inShutdown.exchange(true)) return;
  counters.shutdowns++;
  shutdown_node* block = new shutdown_node;
  block->thisnode = this;
  snprintf(block->username, sizeof block->username, "%s",
           username ? username : "");
  block->inShutdown = &inShutdown;
  block->sshdone = false;
  snprintf(tmperrmsg, sizeof tmperrmsg, "%s being shutdown automatically\n",
           name);
  error_msg(tmperrmsg);

  block->sshstarted =
      pthread_create(&block->thread, nullptr, safeShutdown, block) == 0;
  if (!block->sshstarted) {
    error_msg("Failed to send rsh poweroff\n");
    block->sshdone = true;
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t enforcer;
  bool started = pthread_create(&enforcer, &attr, ensureShutdown, block) == 0;
  pthread_attr_destroy(&attr);
  if (started) return;

  // Without the enforcing thread nothing would power the node off later or
  // ever clear inShutdown: power it off now and let it be examined again.
  snprintf(tmperrmsg, sizeof tmperrmsg,
           "Unable to start the enforcing shutdown of %s; powering it off "
           "now.\n",
           name);
  error_msg(tmperrmsg);
  mycluster.queuepoweroff(name);
  bool freehere = true;
  if (block->sshstarted) {
    pthread_detach(block->thread);
    holding<lockable> hold(block->childlock);
    freehere = block->sshdone;
    block->orphan = !freehere;
  }
  if (freehere) delete block;
  inShutdown = false;
}

bool cluster::poweroffnode(const char* name) {
  node* n = findnode(name);
  if (!n) return false;
  n->shutdown();
  return true;
}

void cluster::queuepoweroff(const char* name) {
  holding<lockable> hold(poweroffLock);
  poweroffQueue.emplace_back(name);
}

void cluster::runqueuedpoweroffs() {
  std::deque<std::string> due;
  {
    holding<lockable> hold(poweroffLock);
    due.swap(poweroffQueue);
  }
  for (const std::string& name : due) command(name.c_str(), POWEROFF);
}

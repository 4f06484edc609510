// Removal of the two pipes when the process ends. The texts are formed when
// the clean-up is armed, so the signal handler only writes, unlinks and
// leaves (or posts the exit hook's semaphore and sets an alarm), all of
// which are async-signal-safe.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "daemon/cleanup.h"
#include "model/globals.h"
#include "output/ownpipe.h"

namespace {

char commandpath[PATHLEN];
char watchpath[PATHLEN];
// "Removing " and the path.
char commandline[PATHLEN + 16];
char watchline[PATHLEN + 16];
std::atomic<bool> armed{false};
std::atomic<bool> done{false};
// The exit hook and its thread, woken from the signal handler through the
// semaphore (sem_post is async-signal-safe).
std::atomic<void (*)()> exithook{nullptr};
std::atomic<bool> exiting{false};
sem_t exitsignal;

void* exitthread(void*) {
  while (sem_wait(&exitsignal) != 0) {
  }
  exithook.load()();
  _exit(0);
}

void onalarm(int) { _exit(0); }

// Only a pipe this process made is removed: what stands there instead
// belongs to someone else.
void removeone(int which, const char* line, const char* path) {
  if (!isownpipe(which, path)) return;
  ssize_t ignored = write(STDERR_FILENO, line, strlen(line));
  (void)ignored;
  unlink(path);
}

}  // namespace

void armcleanup() {
  snprintf(commandpath, sizeof commandpath, "%s/nodecommands.dat", datadir);
  snprintf(watchpath, sizeof watchpath, "%s/nodewatch.dat", datadir);
  snprintf(commandline, sizeof commandline, "Removing %s\n", commandpath);
  snprintf(watchline, sizeof watchline, "Removing %s\n", watchpath);
  armed.store(true);
}

void _cleanupfifos() {
  if (!armed.load() || done.exchange(true)) return;
  removeone(COMMANDPIPE, commandline, commandpath);
  removeone(WATCHPIPE, watchline, watchpath);
}

void fatalcleanup() {
  _cleanupfifos();
  // A fatal error closes the BMC sessions too, as a signal does: they would
  // stay open in tables of 4-8 for many minutes. The hook bounds its own
  // time (an alarm would end the process with status 0); a signal that
  // comes meanwhile finds the exit under way.
  void (*hook)() = exithook.load();
  if (hook && !exiting.exchange(true)) hook();
}

void cleanupfifos(int) {
  _cleanupfifos();
  if (exithook.load()) {
    if (!exiting.exchange(true)) {
      alarm(EXITHOOKSECONDS);
      sem_post(&exitsignal);
    }
    return;
  }
  _exit(0);
}

void setexithook(void (*hook)()) {
  if (exithook.load() || sem_init(&exitsignal, 0, 0) != 0) return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onalarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  exithook = hook;
  if (pthread_create(&thread, &attr, exitthread, nullptr) != 0)
    exithook = nullptr;  // signals end the process at once, as before
  pthread_attr_destroy(&attr);
}

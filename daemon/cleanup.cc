// Removal of the two pipes when the process ends. The texts are formed when
// the clean-up is armed, so the signal handler only writes, unlinks and
// leaves, all of which are async-signal-safe.
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "daemon/cleanup.h"
#include "model/globals.h"

namespace {

char commandpath[PATHLEN];
char watchpath[PATHLEN];
// "Removing " and the path.
char commandline[PATHLEN + 16];
char watchline[PATHLEN + 16];
std::atomic<bool> armed{false};
std::atomic<bool> done{false};

void removeone(const char* line, const char* path) {
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
  removeone(commandline, commandpath);
  removeone(watchline, watchpath);
}

void cleanupfifos(int) {
  _cleanupfifos();
  _exit(0);
}

void fatalexit(int status) {
  if (fatalexithook) fatalexithook(status);
  fflush(stdout);
  fflush(stderr);
  _cleanupfifos();
  _exit(status);
}

void fatalf(int status, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fatalexit(status);
}

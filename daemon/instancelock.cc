#include "daemon/instancelock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

bool lockdatadir(const char* dir, pid_t* owner) {
  const std::string path = std::string(dir) + "/" + INSTANCELOCKNAME;
  // Kept open for the life of the process: closing it would drop the lock.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *owner = -1;
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char text[32] = {0};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    *owner = n > 0 ? static_cast<pid_t>(atol(text)) : 0;
    close(fd);
    return false;
  }
  char text[32];
  int len = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, len, 0) != len) {
    // The lock holds all the same; only the PID for the message is missing.
  }
  *owner = getpid();
  return true;
}

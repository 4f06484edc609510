#include "util/spawnattr.h"

#include <signal.h>

void plainchildattr(posix_spawnattr_t* attr) {
  posix_spawnattr_init(attr);
  sigset_t none, piped;
  sigemptyset(&none);
  sigemptyset(&piped);
  sigaddset(&piped, SIGPIPE);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &piped);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// The attributes of a child the daemon starts (the ssh client of a
// shutdown, scontrol).
#ifndef KESTREL_UTIL_SPAWNATTR_H_
#define KESTREL_UTIL_SPAWNATTR_H_

#include <spawn.h>

// Initialises `attr` so that the child starts with no signal blocked and
// SIGPIPE at its default: the daemon ignores SIGPIPE and its threads may
// block signals, neither of which a child should inherit. The caller
// destroys `attr` with posix_spawnattr_destroy.
void plainchildattr(posix_spawnattr_t* attr);

#endif  // KESTREL_UTIL_SPAWNATTR_H_

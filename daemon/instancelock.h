// One daemon per data directory. A second kestrel started on the same
// directory would remove the running one's pipes and make its own, and every
// later command would go to the wrong process or nowhere; so start-up takes
// an exclusive lock on a file in the data directory before it touches any
// pipe, and keeps it (and the descriptor) until the process ends.
#ifndef KESTREL_DAEMON_INSTANCELOCK_H_
#define KESTREL_DAEMON_INSTANCELOCK_H_

#include <sys/types.h>

// The lock file, in the data directory; it holds the PID of its owner.
constexpr const char* INSTANCELOCKNAME = "kestrel.lock";

// Takes the lock of `dir` for this process and writes its PID into the
// file. When another process holds it, gives false and that process's PID
// in `owner` (0 when unknown); a lock file that cannot be made gives false
// with `owner` -1.
bool lockdatadir(const char* dir, pid_t* owner);

#endif  // KESTREL_DAEMON_INSTANCELOCK_H_

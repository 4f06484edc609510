// The two pipes of the data directory belong to the process that made them.
// The clean-up at exit removes a path only while it is still the FIFO this
// process made there, so that it never takes away a pipe or file that
// someone else (another instance, an operator) put in its place.
#ifndef KESTREL_OUTPUT_OWNPIPE_H_
#define KESTREL_OUTPUT_OWNPIPE_H_

#include <sys/types.h>

enum { COMMANDPIPE = 0, WATCHPIPE = 1 };

// Removes what is at `path` and makes a FIFO of `mode` there, noted as
// `which`; mkfifo's result.
int makeownpipe(int which, const char* path, mode_t mode);
// True while `path` is the FIFO made as `which`. Async-signal-safe.
bool isownpipe(int which, const char* path);

#endif  // KESTREL_OUTPUT_OWNPIPE_H_

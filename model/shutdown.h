// Automatic shutdown of a node: a clean shutdown over ssh, then a power-off
// through the BMC whether or not the clean shutdown worked.
#ifndef KESTREL_MODEL_SHUTDOWN_H_
#define KESTREL_MODEL_SHUTDOWN_H_

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>

#include "model/defines.h"
#include "model/locks.h"

class node;

// Argument block of the two automatic-shutdown threads of one node, made by
// node::shutdown on the main thread before either thread starts.
typedef struct _shutdown_node {
  node* thisnode;
  char username[FIELDLEN];
  // The clean-shutdown thread; joined by the enforcing thread only.
  pthread_t thread;
  std::atomic<bool>* inShutdown;
  // Set before the enforcing thread starts, read-only after: the
  // clean-shutdown thread is running.
  bool sshstarted;
  std::atomic<bool> sshdone;  // the clean-shutdown thread has finished
  lockable childlock;
  pid_t child GUARDED_BY(childlock) = 0;  // running ssh client, 0 when none
  bool giveup GUARDED_BY(childlock) = false;  // the wait for ssh is over: kill it
  bool orphan GUARDED_BY(childlock) = false;  // no enforcing thread: ssh thread frees
} shutdown_node;

// Thread bodies; each takes the node's shutdown_node block.
void* safeShutdown(void* block);
void* ensureShutdown(void* block);

// Sleeps until nowtime() reaches t.
void sleepuntil(time_t t);

#endif  // KESTREL_MODEL_SHUTDOWN_H_

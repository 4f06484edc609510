// Automatic shutdown of a node: a clean shutdown over ssh, then a power-off
// through the BMC whether or not the clean shutdown worked.
#ifndef KESTREL_MODEL_SHUTDOWN_H_
#define KESTREL_MODEL_SHUTDOWN_H_

#include <time.h>

// The ssh client run for the clean shutdown; tests point it elsewhere.
extern const char* sshpath;

// Thread bodies; each takes the node's shutdown_node block.
void* safeShutdown(void* block);
void* ensureShutdown(void* block);

// Sleeps until nowtime() reaches t.
void sleepuntil(time_t t);

#endif  // KESTREL_MODEL_SHUTDOWN_H_

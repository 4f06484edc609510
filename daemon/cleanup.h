// Removal of the two pipes when the process ends.
#ifndef KESTREL_DAEMON_CLEANUP_H_
#define KESTREL_DAEMON_CLEANUP_H_

// Exit-time clean-up: announces and removes both pipes.
void _cleanupfifos();
void cleanupfifos(int signal);
// Forms the clean-up texts from datadir and arms the clean-up.
void armcleanup();

#endif  // KESTREL_DAEMON_CLEANUP_H_

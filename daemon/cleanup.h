// Removal of the two pipes when the process ends.
#ifndef KESTREL_DAEMON_CLEANUP_H_
#define KESTREL_DAEMON_CLEANUP_H_

// Exit-time clean-up: announces and removes both pipes.
void _cleanupfifos();
void cleanupfifos(int signal);
// The clean-up of a fatal exit, on the thread that met the error: the pipes,
// then the exit hook, which must bound its own time.
void fatalcleanup();
// Forms the clean-up texts from datadir and arms the clean-up.
void armcleanup();
// A transport with something to close at exit (the Redfish sessions) sets
// a hook at start-up. A signal then removes the pipes as before and hands
// the exit to a thread of its own, which runs the hook and leaves with
// status 0; SIGALRM ends the process after EXITHOOKSECONDS whatever the
// hook does. Only the first hook is kept. Room for a slow BMC's logout
// (REDFISHSTOPMS): a session left open fills a table of 4-8.
constexpr unsigned EXITHOOKSECONDS = 12;
void setexithook(void (*hook)());

#endif  // KESTREL_DAEMON_CLEANUP_H_

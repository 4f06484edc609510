// Process-wide settings, the message functions and the clock.
#ifndef KESTREL_DAEMON_GLOBALS_H_
#define KESTREL_DAEMON_GLOBALS_H_

#include <OpenIPMI/os_handler.h>
#include <time.h>

extern int nodaemon;  // non-zero: foreground mode (-d)
extern char datadir[256];
extern char chassisfile[514];
extern char clusterfile[514];
extern char nodewatchdat[514];
extern char autonodeconfdat[514];
extern char nodecommandsdat[514];
extern os_handler_t* os_hnd;  // main thread only
extern bool domainisup;       // main thread only
extern bool debugipmilog;

// Each sends the text to syslog; in foreground mode also to stderr.
void error_msg(const char* text);
void info_msg(const char* text);

// Current time in whole seconds; tests may replace the source.
time_t nowtime();
void settestclock(time_t (*source)());

// Ends the process with `status`: flushes stdio, removes the pipes once the
// clean-up has been armed, and leaves without running static destructors,
// which other threads may still be using.
[[noreturn]] void fatalexit(int status);

// Exit-time clean-up: announces and removes both pipes.
void _cleanupfifos();
void cleanupfifos(int signal);
// Forms the clean-up texts from datadir and arms the clean-up.
void armcleanup();
// A transport with something to close at exit (the Redfish sessions) sets
// a hook at start-up. A signal then removes the pipes as before and hands
// the exit to a thread of its own, which runs the hook and leaves with
// status 0; SIGALRM ends the process after EXITHOOKSECONDS whatever the
// hook does. Only the first hook is kept.
constexpr unsigned EXITHOOKSECONDS = 3;
void setexithook(void (*hook)());

#endif  // KESTREL_DAEMON_GLOBALS_H_

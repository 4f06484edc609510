// Start-up and the main loop.
#ifndef KESTREL_DAEMON_MAINLOOP_H_
#define KESTREL_DAEMON_MAINLOOP_H_

class cluster;

// Forms the five file paths from datadir.
void formpaths();
// Reads and validates both files into cl through the hooks installed (a
// node is attached by attachtransport as its line is read). The first
// refusal ends the process with its message and status. Start-up and the
// check of the files share it, so that both say the same.
void readconfiguration(cluster* cl, const char* chassispath,
                       const char* clusterpath);
// Alerts are on: ends the process, each missing e-mail setting said, unless
// all three were read.
void refusemissingemail(const cluster* cl);
// Start-up: locks the data directory, sets up OpenIPMI and the hooks through
// which the lower folders reach the upper ones, reads the configuration into
// cl, makes the pipes and the summary, and starts the output thread and the
// HTTP server. Any failure ends the process.
void startdaemon(cluster* cl, const char* chassispath,
                 const char* clusterpath, const char* commandpath);
// One pass of the main loop: polling, limits and alerts, the command pipe,
// the queued power-offs.
void runpass(cluster* cl);
// Runs the main loop for good.
[[noreturn]] void runmainloop();
// One event-loop phase: at most `steps` turns, ending once `budget_us`
// microseconds have passed. Returns the number of turns made.
int runeventphase(int steps, long budget_us);

#endif  // KESTREL_DAEMON_MAINLOOP_H_

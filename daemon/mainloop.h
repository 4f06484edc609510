// Start-up paths and the main loop.
#ifndef KESTREL_DAEMON_MAINLOOP_H_
#define KESTREL_DAEMON_MAINLOOP_H_

// Forms the five file paths from datadir.
void formpaths();
// Runs the main loop for good.
[[noreturn]] void runmainloop();
// One event-loop phase: at most `steps` turns, ending once `budget_us`
// microseconds have passed. Returns the number of turns made.
int runeventphase(int steps, long budget_us);

#endif  // KESTREL_DAEMON_MAINLOOP_H_

// Process-wide settings, the hooks that let the model reach the subsystems
// above it, the message functions and the clock. The model's globals are
// defined in model/globals.cc, with a note of who writes each.
#ifndef KESTREL_MODEL_GLOBALS_H_
#define KESTREL_MODEL_GLOBALS_H_

#include <time.h>

#include <atomic>

#include "model/defines.h"

class node;

// Set by main() before any thread starts; read-only after.
extern int nodaemon;  // non-zero: foreground mode (-d)
// False while the files are only checked (--check): its messages are the
// operator's, on stderr, not the running daemon's log's.
extern bool tosyslog;
extern char datadir[DATADIRLEN];
extern char chassisfile[PATHLEN];
extern char clusterfile[PATHLEN];
extern char nodewatchdat[PATHLEN];
extern char autonodeconfdat[PATHLEN];
extern char nodecommandsdat[PATHLEN];
// The ssh client run for the clean shutdown; tests point it elsewhere
// before they start a shutdown.
extern const char* sshpath;

// What the model tells the alert list. Installed once at start-up, before
// any thread starts (connectalerts() in alerts/); read-only after. Unset
// hooks do nothing.
struct alerthooks {
  // A sensor of a node is out of its limits (discrete: limits are zero).
  void (*seen)(int kind, node* n, int index, double value,
               const double* limits);
  // The sensor was within its limits at this check.
  void (*quiet)(int kind, node* n, int index);
  // Every alert of the node is void (its automatic shutdown has run).
  void (*forget)(node* n);
  // A critical hardware event of the node, as its logged line: mailed once
  // with the next alert e-mail; it never shuts a node down.
  void (*hardware)(node* n, const char* line);
};
extern alerthooks alerthook;

// What the alert list tells the Slurm link (slurm/) as it reports a node's
// alert. Installed once at start-up when $SLURM_DRAIN is on, by the main
// thread, which alone reads and calls them; read-only after. Unset, nothing
// is drained. Both return DRAIN_*, what the e-mail says of the node.
struct drainhooks {
  // A reading's or a discrete sensor's alert is being written into the
  // e-mail (discrete: limits are zero).
  int (*alerted)(node* n, int kind, int index, double value,
                 const double* limits);
  // A critical hardware event of the node, as its logged line.
  int (*hardware)(node* n, const char* line);
};
extern drainhooks drainhook;

// Each sends the text to syslog; in foreground mode also to stderr.
void error_msg(const char* text);
void info_msg(const char* text);

// Seconds for measuring intervals (pacing, staleness, settling, alert and
// shutdown timers): CLOCK_MONOTONIC, which no step of the wall clock moves,
// offset so that its values stay far from 0 (which fields use for "never").
// Never printed as a date.
time_t nowtime();
// The wall clock, for what is printed: the status records' $TIME, the times
// of the status document and metrics.
time_t walltime();
// Tests may replace the source of both with one clock.
void settestclock(time_t (*source)());

// Counts the operator's requests (SIGHUP) that every BMC waiting after a
// refused login try again at once. A link compares it with the count it
// last saw; the signal handler only adds one, which is async-signal-safe.
extern std::atomic<unsigned> loginretries;

// Ends the process with `status`: flushes stdio, runs fatalcleanuphook (the
// daemon's removal of its pipes once that has been armed), and leaves
// without running static destructors, which other threads may still be
// using.
[[noreturn]] void fatalexit(int status);
// Installed by the daemon's start-up before any thread starts; read-only
// after. Unset, nothing is removed.
extern void (*fatalcleanuphook)();
// Set only by a fuzz target, before it runs: fatalexit calls it instead of
// ending the process. It must not return (it throws back into the target).
extern void (*fatalexithook)(int status);
// Prints the formatted message on stderr, then fatalexit(status).
[[noreturn]] void fatalf(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // KESTREL_MODEL_GLOBALS_H_

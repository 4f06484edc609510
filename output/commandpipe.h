// The command pipe: its reading end, line splitting and the keyword table.
#ifndef KESTREL_OUTPUT_COMMANDPIPE_H_
#define KESTREL_OUTPUT_COMMANDPIPE_H_

#include <stddef.h>

#include <functional>
#include <string>

#include "output/poweronpace.h"

class cluster;

// Longest command line kept, plus one: lines this long or longer are skipped.
constexpr size_t MAXCOMMANDLINE = 1024;

// What one command line asks for.
struct commandmatch {
  int code;          // POWERON, POWEROFF or RESET; NONE for other lines
  bool testemail;    // the line asks for a test e-mail
  const char* name;  // node name inside the line; "" unless a power keyword
};

// Matches one line (without its line feed) against the keyword table.
commandmatch matchcommand(const char* line);

// Splits `len` bytes read from the pipe into lines. `partial` holds the bytes
// after the last line feed between calls (at most MAXCOMMANDLINE of them).
// Each complete line goes to `online` without its line feed; each line of
// MAXCOMMANDLINE characters or more goes to `ontoolong` instead.
void splitcommandlines(std::string& partial, const char* data, size_t len,
                       const std::function<void(const char*)>& online,
                       const std::function<void()>& ontoolong);

// Milliseconds of CLOCK_MONOTONIC: the pace of power-ons.
long long monotonicms();

// The reading end of the command pipe; the main thread's once the main loop
// runs.
struct commandinput {
  int fd = -1;
  std::string partial;  // the bytes after the last line feed
  // Power-ons beyond the cluster's poweronrate wait here for a later pass.
  // A power-off of a node drops its waiting power-ons: the later request
  // wins, as it would have had both gone out at once.
  poweronpacer poweron;
  bool saidwaiting = false;  // the current wait has been said
  long long (*clockms)() = monotonicms;  // tests set their own
};

// Makes the pipe at `path` (a failure is said, not fatal) and opens its
// reading end into `in`.
void setupcommandfifo(commandinput* in, const char* path);
// Drains the pipe and runs its lines on `cl`, then sends the waiting
// power-ons whose turn has come; true when the drain ended because every
// writer had closed its end.
bool processcommandfifo(commandinput* in, cluster* cl);

// Sends the test e-mail a $TEST_EMAIL line asks for. The alert list sits
// above output/: the daemon installs this before the main loop runs. The
// line is said and counted whether or not it is set.
extern void (*testemailhook)();

#endif  // KESTREL_OUTPUT_COMMANDPIPE_H_

// kestrel --probe: what one node's BMC offers, written as a chassis section.
#ifndef KESTREL_PROBE_PROBE_H_
#define KESTREL_PROBE_PROBE_H_

#include <time.h>

// How long a probe waits for a BMC at most; it ends as soon as the BMC has
// answered everything (slow BMCs take tens of seconds to give their SDRs).
constexpr time_t PROBEWAIT = 90;

// Reads the chassis and cluster files as start-up does (a refused file ends
// the process with start-up's message and status), connects to the first
// node named `nodename` with its transport and credentials, and prints the
// section on stdout. Starts no thread and no pipe, takes no lock, never
// powers anything. Returns the exit status: 0 the BMC answered; 1 it could
// not be reached or refused the login (said on stderr); 2 no such node.
int runprobe(const char* nodename, const char* chassispath,
             const char* clusterpath);

#endif  // KESTREL_PROBE_PROBE_H_

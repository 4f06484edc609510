// Event counters shown by the HTTP metrics. Each counter is written at one
// spot by the thread named at its field and read by the HTTP server's
// thread. They are single relaxed atomics: a reader takes them one by one
// and never needs two of them to agree.
#ifndef KESTREL_MODEL_COUNTERS_H_
#define KESTREL_MODEL_COUNTERS_H_

#include <atomic>

#include "model/defines.h"

// Power command codes run from 0 to RESET.
constexpr int POWERCOMMANDS = RESET + 1;

class eventcounters {
 public:
  // Written by the e-mail sender threads once a transfer has ended
  // (email::send), whether or not a newer sender superseded it.
  std::atomic<unsigned long> emailssent{0};
  std::atomic<unsigned long> emailsfailed{0};
  // Written by the main thread when an automatic shutdown starts
  // (node::shutdown; a node already shutting down is not counted again).
  std::atomic<unsigned long> shutdowns{0};
  // Written by the main thread for each command line it executes
  // (runcommandline): power commands by their code (POWEROFF, POWERON,
  // RESET), test e-mail requests apart.
  std::atomic<unsigned long> powercommands[POWERCOMMANDS] = {};
  std::atomic<unsigned long> testemails{0};
  // Written by the main thread under alertlock at every alert pass
  // (alerts::process): the length of the pending alert list.
  std::atomic<unsigned long> alertspending{0};
  // Written by the main thread (slurm/) as a drain or resume is done, as a
  // run of scontrol for one fails, or as a node drained or down for another
  // reason is left alone: by action (SLURMDRAIN, SLURMRESUME) and result
  // (SLURMOK, SLURMFAILED, SLURMSKIPPED).
  std::atomic<unsigned long> slurmactions[SLURMACTIONS][SLURMRESULTS] = {};
};

extern eventcounters counters;

#endif  // KESTREL_MODEL_COUNTERS_H_

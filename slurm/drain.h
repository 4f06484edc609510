// The Slurm link ($SLURM_DRAIN): a node whose alert is reported is drained
// in Slurm (no new jobs; running ones finish), and resumed once it has
// stayed healthy for $SLURM_RESUME_AFTER seconds, if the drain is still
// kestrel's own.
//
// Design: everything runs on the main thread. The alert list calls the
// drain hooks while it reports (model/globals.h); the main loop calls
// slurmpass() on every pass. Each node has at most one scontrol run at a
// time, a child process watched by slurmpass() (slurm/child.h), so the main
// loop never waits for Slurm. Every action looks first (`scontrol show
// node`), then acts (`scontrol update`): a node drained or set down by
// someone else is left alone. A failed run is said once per node and tried
// again later, after a growing pause. What other threads see is each node's
// slurmstate and the action counters, both atomics.
#ifndef KESTREL_SLURM_DRAIN_H_
#define KESTREL_SLURM_DRAIN_H_

#include <time.h>

class cluster;
class node;

constexpr int SLURMRUNS = 4;             // scontrol runs at once at most
constexpr time_t SCONTROLLIMIT = 30;     // seconds one run may take
constexpr time_t SLURMRETRYFIRST = 10;   // pause after a first failure...
constexpr time_t SLURMRETRYMOST = 300;   // ...doubling up to this

// Installs the drain hooks and asks Slurm about every node once, so that a
// drain kestrel set before a restart is known and can be resumed. Once at
// start-up on the main thread, with $SLURM_DRAIN and alerts on.
void startslurm(cluster* cl);
// One pass of the main loop: takes the results of ended runs, watches the
// health of the nodes kestrel drained, starts the runs that are due. Does
// nothing unless startslurm() ran.
void slurmpass(time_t now);

// The node as the resume rule sees it now: powered, its BMC answering, past
// its settling time, every reading within its limits (temperatures only
// too high count) and no discrete sensor in its critical state.
bool nodehealthy(node* n, time_t now);
// The resume rule: healthy without a break since `since` (0: not healthy
// now) for `after` seconds; `after` 0 never resumes.
bool resumedue(time_t since, time_t now, time_t after);

#endif  // KESTREL_SLURM_DRAIN_H_

// How often an OpenBMC node's worker may speak of the node: a BMC that
// fails the same way at every poll must not fill the log. Times are seconds
// of nowtime(). The record is the node worker's own. (Its logins are paced
// by model/loginpacer.h.)
#ifndef KESTREL_OPENBMC_PACING_H_
#define KESTREL_OPENBMC_PACING_H_

#include <time.h>

// A message about a node is said at most this often.
constexpr time_t MESSAGEPERIOD = 60;

// One message about one node: said at most once a period, counting what
// was held back in between.
class msglimiter {
 public:
  // Whether the message may be said at `now`; if so, `heldback` gets the
  // number of times it was held back since it was last said.
  bool allow(time_t now, time_t period, unsigned* heldback);

  bool said = false;
  time_t lastsaid = 0;
  unsigned held = 0;
};

#endif  // KESTREL_OPENBMC_PACING_H_

// How often an OpenBMC node's worker may log in and speak of the node. A
// BMC locks its account after a few refused logins, so refused logins are
// retried ever more slowly; and a BMC that fails the same way at every poll
// must not fill the log. Times are seconds of nowtime(). Both records are
// the node worker's own.
#ifndef KESTREL_OPENBMC_PACING_H_
#define KESTREL_OPENBMC_PACING_H_

#include <time.h>

// The wait after the first refused login; it doubles with each further one
// up to LOGINLONGESTWAIT.
constexpr time_t LOGINFIRSTWAIT = 30;
constexpr time_t LOGINLONGESTWAIT = 15 * 60;
// After a refusal, at most LOGINSPERWINDOW logins of the poll within any
// LOGINWINDOW seconds, whatever the back-off would allow.
constexpr time_t LOGINWINDOW = 5 * 60;
constexpr int LOGINSPERWINDOW = 5;
// A refusal that lasts is said again this often.
constexpr time_t REFUSALREPORTPERIOD = 60 * 60;
// Any other message about a node is said at most this often.
constexpr time_t MESSAGEPERIOD = 60;

// The wait before the next login after `refusals` refusals in a row.
time_t loginbackoff(int refusals);

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

// The logins of one BMC. A command's login is never held back (the
// operator waits for it), but it is counted as a refusal when refused.
class loginpacer {
 public:
  // Whether a login that the poll asks for may start at `now`.
  bool mayattempt(time_t now) const;
  // Whether the operator asked for logins at once since the last call:
  // `asked` is the count of such requests (SIGHUP) so far.
  bool askedagain(unsigned asked);
  // A login starts at `now`.
  void attempted(time_t now, bool bycommand);
  void refused(time_t now);
  // The BMC took the login; returns the refusals it ends (0: none).
  int accepted();

  int refusals = 0;  // in a row
  bool everrefused = false;
  time_t lastrefusal = 0;
  // The starts of the latest logins of the poll, latest at recent[0].
  time_t recent[LOGINSPERWINDOW] = {};
  int nrecent = 0;
  unsigned retriesseen = 0;
};

#endif  // KESTREL_OPENBMC_PACING_H_

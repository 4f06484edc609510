// How often a BMC may be asked to log in after it refused a login. Real
// BMCs lock the account, or block the management host, after 3-5 failed
// logins: the poll's logins are retried ever more slowly, a few at most in
// any window, and the refusal is said once, then seldom. Every transport
// that logs in keeps one pacer per BMC. Times are seconds of nowtime().
#ifndef KESTREL_MODEL_LOGINPACER_H_
#define KESTREL_MODEL_LOGINPACER_H_

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

// The wait before the next login after `refusals` refusals in a row.
time_t loginbackoff(int refusals);

// The logins of one BMC; the record of the one thread that logs in to it.
// A command's login is never held back (the operator waits for it), but it
// is counted as a refusal when refused.
class loginpacer {
 public:
  // Whether a login that the poll asks for may start at `now`: the
  // back-off and the window allow it, or the operator asked for logins at
  // once (SIGHUP: loginretries moved) since the last refusal or call.
  bool maylogin(time_t now);
  // The back-off and the window alone.
  bool mayattempt(time_t now) const;
  // Whether `asked`, the count of the operator's requests so far, moved
  // since the last call.
  bool askedagain(unsigned asked);
  // A login starts at `now`.
  void attempted(time_t now, bool bycommand);
  void refused(time_t now);
  // Whether a refusal of the poll's login is to be said at `now`: at the
  // first of a run of refusals, then once a REFUSALREPORTPERIOD; if so,
  // `heldback` gets the refusals not said since it was last said.
  bool sayrefusal(time_t now, unsigned* heldback);
  // The BMC took the login; returns the refusals it ends (0: none). A
  // later refusal is news again.
  int accepted();

  int refusals = 0;  // in a row
  bool everrefused = false;
  time_t lastrefusal = 0;
  // The starts of the latest logins of the poll, latest at recent[0].
  time_t recent[LOGINSPERWINDOW] = {};
  int nrecent = 0;
  unsigned retriesseen = 0;
  // When a refusal was last said (0: not in this run of refusals) and
  // those not said since.
  time_t refusalsaid = 0;
  unsigned refusalsheld = 0;
};

#endif  // KESTREL_MODEL_LOGINPACER_H_

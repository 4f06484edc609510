#include "openbmc/pacing.h"

time_t loginbackoff(int refusals) {
  if (refusals <= 0) return 0;
  time_t wait = LOGINFIRSTWAIT;
  for (int i = 1; i < refusals && wait < LOGINLONGESTWAIT; i++) wait *= 2;
  return wait < LOGINLONGESTWAIT ? wait : LOGINLONGESTWAIT;
}

bool msglimiter::allow(time_t now, time_t period, unsigned* heldback) {
  if (said && now - lastsaid < period) {
    held++;
    return false;
  }
  *heldback = held;
  held = 0;
  said = true;
  lastsaid = now;
  return true;
}

bool loginpacer::mayattempt(time_t now) const {
  if (refusals > 0 && now - lastrefusal < loginbackoff(refusals)) return false;
  // The window guards a BMC that takes some logins and refuses others,
  // where the back-off starts anew at each accepted one.
  if (everrefused && now - lastrefusal < LOGINWINDOW &&
      nrecent == LOGINSPERWINDOW &&
      now - recent[LOGINSPERWINDOW - 1] < LOGINWINDOW)
    return false;
  return true;
}

bool loginpacer::askedagain(unsigned asked) {
  if (asked == retriesseen) return false;
  retriesseen = asked;
  return true;
}

void loginpacer::attempted(time_t now, bool bycommand) {
  if (bycommand) return;
  for (int i = LOGINSPERWINDOW - 1; i > 0; i--) recent[i] = recent[i - 1];
  recent[0] = now;
  if (nrecent < LOGINSPERWINDOW) nrecent++;
}

void loginpacer::refused(time_t now) {
  refusals++;
  everrefused = true;
  lastrefusal = now;
}

int loginpacer::accepted() {
  int ended = refusals;
  refusals = 0;
  return ended;
}

#include "model/loginpacer.h"

#include "model/globals.h"

time_t loginbackoff(int refusals) {
  if (refusals <= 0) return 0;
  time_t wait = LOGINFIRSTWAIT;
  for (int i = 1; i < refusals && wait < LOGINLONGESTWAIT; i++) wait *= 2;
  return wait < LOGINLONGESTWAIT ? wait : LOGINLONGESTWAIT;
}

bool loginpacer::maylogin(time_t now) {
  bool asked = askedagain(loginretries.load());
  return asked || mayattempt(now);
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
  // Only a request made while a login waits lets it go: one from before
  // this refusal is spent.
  retriesseen = loginretries.load();
  refusals++;
  everrefused = true;
  lastrefusal = now;
}

bool loginpacer::sayrefusal(time_t now, unsigned* heldback) {
  if (refusalsaid != 0 && now - refusalsaid < REFUSALREPORTPERIOD) {
    refusalsheld++;
    return false;
  }
  *heldback = refusalsheld;
  refusalsheld = 0;
  refusalsaid = now;
  return true;
}

int loginpacer::accepted() {
  int ended = refusals;
  refusals = 0;
  refusalsaid = 0;
  refusalsheld = 0;
  return ended;
}

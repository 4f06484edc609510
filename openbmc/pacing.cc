#include "openbmc/pacing.h"

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

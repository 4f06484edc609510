#include "ipmi/health.h"

#include "model/defines.h"

int powersupplyhealth(const bool* states) {
  if (!states[IPMI_PS_PRESENT]) return IPMI_DISC_CRIT;
  // A supply that failed because its input is gone is itself sound.
  if (states[IPMI_PS_FAIL])
    return states[IPMI_PS_ACLOST] ? IPMI_DISC_WARN : IPMI_DISC_CRIT;
  if (states[IPMI_PS_PREDFAIL]) return IPMI_DISC_WARN;
  return IPMI_DISC_HEALTHY;
}

int batteryhealth(const bool* states) {
  if (!states[IPMI_BAT_PRESENT]) return IPMI_DISC_CRIT;
  if (states[IPMI_BAT_FAIL]) return IPMI_DISC_CRIT;
  if (states[IPMI_BAT_LOW]) return IPMI_DISC_WARN;
  return IPMI_DISC_HEALTHY;
}

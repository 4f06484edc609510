// One pending alert: a sensor of a node seen out of its limits.
#ifndef KESTREL_ALERTS_ALERT_H_
#define KESTREL_ALERTS_ALERT_H_

#include <time.h>

#include "model/defines.h"

class node;

class alert {
 public:
  alert(int kind, node* n, int slot, double reading, const double* row);
  // Orders by timestamp - reported: the longest unreported comes last.
  bool operator<(const alert& other) const;
  bool matches(int kind, node* n, int slot) const;
  bool matches(node* n) const;
  // Re-report delay of a non-critical alert: 420 s when an e-mail is being
  // composed in this cycle anyway, 900 s otherwise.
  int delaytime(bool added) const;

  int type;          // FAN, TEMP, VOLT or DISC
  int index;         // sensor index within its kind in the chassis
  long occurances;   // times seen again since the alert was created
  double value;      // latest out-of-limit reading
  double limits[NUMLIMITS];  // limits at creation; all 0 for a discrete alert
  time_t timestamp;  // when the condition was last seen
  time_t reported;   // when last written into an e-mail; 0 = never
  node* thisnode;
};

#endif  // KESTREL_ALERTS_ALERT_H_

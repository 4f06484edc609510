// What a BMC offers, as a probe of it finds it: every sensor of a kind the
// daemon watches, with its reading and the BMC's own thresholds. Filled by
// a transport, written out as a chassis section by probe/.
#ifndef KESTREL_MODEL_OFFERED_H_
#define KESTREL_MODEL_OFFERED_H_

#include <string>
#include <vector>

#include "model/defines.h"

class offeredsensor {
 public:
  int kind = FAN;    // FAN, TEMP, VOLT or DISC
  std::string name;  // exactly as the daemon binds it
  std::string id;    // a second name the transport also binds by ("" none)
  bool hasreading = false;
  double reading = 0.0;  // discrete: IPMI_DISC_*
  int unit = UNIT_USUAL;  // UNIT_PERCENT: a fan given as a share of full speed
  std::string unittext;   // the unit as the BMC names it, for a comment
  bool haslimit[NUMLIMITS] = {};  // the BMC's own threshold, CRITLOW ..
  double limits[NUMLIMITS] = {};
};

// How a probe went: the BMC answered (its sensors follow), could not be
// reached, or refused the login; `why` says it in words.
enum { OFFER_ANSWERED = 0, OFFER_UNREACHABLE = 1, OFFER_REFUSED = 2 };

class bmcoffer {
 public:
  int outcome = OFFER_UNREACHABLE;
  std::string why;
  std::vector<offeredsensor> sensors;  // in the BMC's order
  // Sensors of kinds the daemon does not watch ("name (kind)").
  std::vector<std::string> unwatched;
};

#endif  // KESTREL_MODEL_OFFERED_H_

// A probe of one node's OpenBMC BMC: every sensor it offers, for the
// writing of a chassis section.
#ifndef KESTREL_OPENBMC_OFFER_H_
#define KESTREL_OPENBMC_OFFER_H_

#include <stddef.h>

#include <string>

#include "model/offered.h"

class node;

// Logs in as the daemon does and reads the sensors' enumeration, on the
// calling thread (no worker is started). The node needs its name,
// credentials and chassis; it is not polled.
void openbmc_offer(node* n, bmcoffer* out);

// Reads an enumeration reply ({"data": {"<path>": {properties}}}): each
// sensor under /xyz/openbmc_project/sensors/, in the reply's order, named
// by its path below that (as chassis.dat names it), with its Value and its
// CriticalLow, WarningLow, WarningHigh and CriticalHigh scaled by its
// Scale. fan_tach and fan_pwm are fans (percent where the Unit says so),
// temperature and voltage their kinds; other types go to `unwatched`.
// False with a short text in `error` when the reply is not such a document.
bool readenumerate(const char* data, size_t len, bmcoffer* out,
                   std::string* error);

#endif  // KESTREL_OPENBMC_OFFER_H_

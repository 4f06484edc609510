// A probe of one node's BMC over IPMI: every sensor it offers, for the
// writing of a chassis section. Nothing of the daemon's polling is used.
#ifndef KESTREL_IPMI_OFFER_H_
#define KESTREL_IPMI_OFFER_H_

#include <time.h>

#include "model/offered.h"

class node;

// Connects to the node's BMC as the daemon does (over the LAN, or through
// the system interface for user "SMI"), discovers every sensor, takes each
// one's thresholds from its SDR (asking the BMC where the SDR holds none)
// and its current reading, and closes the connection again. Runs
// OpenIPMI's event loop (os_hnd, set up by the caller) on the calling
// thread until that is done or `waitlimit` seconds have passed; returns as
// soon as the BMC has answered everything. The node needs name, username,
// password and chassis only; it is not polled.
void ipmi_offer(node* n, time_t waitlimit, bmcoffer* out);

#endif  // KESTREL_IPMI_OFFER_H_

// A probe of one node's Redfish BMC: every sensor it offers, for the
// writing of a chassis section.
#ifndef KESTREL_REDFISH_OFFER_H_
#define KESTREL_REDFISH_OFFER_H_

#include <string>
#include <vector>

#include "model/offered.h"
#include "redfish/replies.h"

class node;

// Logs in to the node's BMC and discovers it as the daemon does (the link's
// own session, discovery and power-state read, redfish/link.h), reads every
// place the chosen chassis keeps sensors, and logs out. All on the calling
// thread, one request at a time, each bounded as the daemon bounds it; no
// driver thread is started. The node needs its name, credentials and
// chassis; it is not polled.
void redfish_offer(node* n, bmcoffer* out);

// Joins what the sources gave, in their order: a reading of a later source
// is left out when an earlier one gave one of the same kind and name (the
// same sensor published twice, as Sensors and Thermal); readings of one
// source are all kept, duplicate names included. Kinds kestrel does not
// watch go to `unwatched`.
void joinreadings(const std::vector<std::vector<redfishreading>>& sources,
                  bmcoffer* out);

#endif  // KESTREL_REDFISH_OFFER_H_

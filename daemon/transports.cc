// The one place that knows every transport: a node gets the record of the
// transport its chassis names.
#include "daemon/transports.h"

#include "daemon/cleanup.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "openbmc/openbmc.h"
#include "redfish/driver.h"
#include "redfish/link.h"

transport* newtransport(node* n, time_t /*readingtime*/) {
  switch (n->thischassis->transportkind) {
    case TRANSPORT_OPENBMC:
      return openbmc_attach(n);
    case TRANSPORT_REDFISH: {
      // Its first requests go out at the first poll of the main loop, so a
      // slow BMC delays no start-up; its sessions are closed at exit.
      redfish_link* l = redfishattach(n);
      if (!l)
        fatalf(1, "Failed to initialize Redfish variables for %s. Exiting.\n",
               n->name);
      setexithook(redfishstopall);
      return l;
    }
    default:
      return ipmi_attach(n);
  }
}

void foreseenode(const char* nodename, const chassis* c, const char* username) {
  if (c->transportkind == TRANSPORT_IPMI) ipmi_foresee(nodename, username);
}

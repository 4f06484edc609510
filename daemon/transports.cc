// The one place that knows every transport: a node gets the record of the
// transport its chassis names.
#include "daemon/transports.h"

#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "openbmc/openbmc.h"

transport* newtransport(node* n, time_t readingtime) {
  switch (n->thischassis->transportkind) {
    case TRANSPORT_OPENBMC:
      return openbmc_attach(n, readingtime);
    default:
      return ipmi_attach(n);
  }
}

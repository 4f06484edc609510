// The probe reads the configuration without attaching any transport (no
// connection, no worker), then talks to the one BMC on this thread.
#include "probe/probe.h"

#include <OpenIPMI/ipmi_posix.h>
#include <curl/curl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "config/chassisfile.h"
#include "config/clusterfile.h"
#include "config/configerror.h"
#include "ipmi/offer.h"
#include "ipmi/openipmi.h"
#include "model/transport.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "model/offered.h"
#include "openbmc/offer.h"
#include "probe/section.h"
#include "redfish/offer.h"

namespace {

void probeipmi(node* n, bmcoffer* offer) {
  os_hnd = ipmi_posix_setup_os_handler();
  if (!os_hnd) {
    offer->why = "Unable to set up the OpenIPMI operating-system handler";
    return;
  }
  os_hnd->set_log_handler(os_hnd, my_vlog);
  ipmi_init(os_hnd);
  ipmi_offer(n, PROBEWAIT, offer);
}

}  // namespace

int runprobe(const char* nodename, const char* chassispath,
             const char* clusterpath) {
  cluster* cl = &mycluster;
  // No transport is attached while the files are read: nothing connects.
  attachtransport = nullptr;
  foreseetransport = nullptr;
  configerror err;
  if (!parsechassis(chassispath, cl, &err) || !validatechassis(cl, &err) ||
      !parsecluster(clusterpath, cl, &err))
    configfatal(err);
  node* n = cl->findnode(nodename);
  if (!n) {
    fprintf(stderr, "No node %s in %s.\n", nodename, clusterpath);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  curl_global_init(CURL_GLOBAL_ALL);

  bmcoffer offer;
  const int kind = n->thischassis->transportkind;
  switch (kind) {
    case TRANSPORT_IPMI:
      probeipmi(n, &offer);
      break;
    case TRANSPORT_REDFISH:
      redfish_offer(n, &offer);
      break;
    default:
      openbmc_offer(n, &offer);
      break;
  }
  if (offer.outcome != OFFER_ANSWERED) {
    fprintf(stderr, "%s BMC of %s (%s-ipmi) %s: %s\n", transportname(kind),
            n->name, n->name,
            offer.outcome == OFFER_REFUSED
                ? "refused the login (check the user and password)"
                                           : "could not be reached",
            offer.why.c_str());
    return 1;
  }
  std::string text = writesection(n->name, n->thischassis->name, kind, offer,
                                  n->thischassis);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  return 0;
}

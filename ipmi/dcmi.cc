// The DCMI power reading of an IPMI node: the request of a pass and its
// answer, on the main thread like everything OpenIPMI.
#include "ipmi/dcmi.h"

#include <OpenIPMI/ipmi_err.h>

#include "ipmi/openipmi.h"
#include "model/datastructs.h"

int dcmireply(const unsigned char* data, unsigned int len, double* watts) {
  if (len < 1) return DCMI_MALFORMED;
  switch (data[0]) {
    case 0:
      break;
    // Answers of a BMC that may well answer next time.
    case IPMI_NODE_BUSY_CC:
    case IPMI_TIMEOUT_CC:
    case IPMI_COULD_NOT_PROVIDE_RESPONSE_CC:
    case IPMI_BMC_INIT_IN_PROGRESS_CC:
      return DCMI_BUSY;
    default:
      return DCMI_REFUSED;
  }
  if (len < DCMI_REPLYLEN || data[1] != DCMI_GROUPID) return DCMI_MALFORMED;
  if (!(data[18] & DCMI_MEASURING)) return DCMI_INACTIVE;
  *watts = data[2] | data[3] << 8;
  return DCMI_WATTS;
}

void powerreading(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data) {
  (void)src;  // null when the BMC went away meanwhile: a time-out reply
  ipmi_link* l = static_cast<ipmi_link*>(rsp_data);
  l->dcmiwaiting = false;
  double watts = -1.0;
  switch (dcmireply(msg->data, msg->data_len, &watts)) {
    case DCMI_WATTS:
      l->dcmi = DCMI_ANSWERING;
      l->owner->reportwatts(watts);
      break;
    case DCMI_BUSY:
      if (l->dcmi == DCMI_UNASKED && ++l->dcmitries >= DCMI_TRIES)
        l->dcmi = DCMI_GIVENUP;
      break;
    default:
      // A figure that is no longer measured must not stand as the current
      // one.
      if (l->dcmi == DCMI_ANSWERING) l->owner->reportwatts(-1.0);
      l->dcmi = DCMI_GIVENUP;
      break;
  }
}

void askpowerreading(ipmi_link* l) {
  if (l->dcmi == DCMI_GIVENUP || l->dcmiwaiting) return;
  unsigned char data[4] = {DCMI_GROUPID, DCMI_SYSTEMPOWER, 0x00, 0x00};
  ipmi_msg_t msg;
  msg.netfn = DCMI_NETFN;
  msg.cmd = DCMI_GETPOWERREADING;
  msg.data = data;
  msg.data_len = sizeof data;
  // A request the library refuses never calls back: asked again next pass.
  l->dcmiwaiting = sendtobmc(l, &msg, powerreading, l) == 0;
}

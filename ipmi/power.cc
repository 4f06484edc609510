// IPMI power commands and the power-state query: each becomes one chassis
// request to the node's BMC. The chassis-status reply keeps an IPMI node's
// power flag and much of its liveness up to date.
#include <OpenIPMI/ipmi_mc.h>
#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmi_msgbits.h>
#include <stdio.h>
#include <string.h>

#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

struct bmcrequest {
  ipmi_msg_t* msg;
  ipmi_mc_response_handler_t handler;
  void* data;
  int rv;
};

void sendonbmc(ipmi_mc_t* mc, void* cb_data) {
  bmcrequest* r = static_cast<bmcrequest*>(cb_data);
  r->rv = ipmi_mc_send_command(mc, 0, r->msg, r->handler, r->data);
}

// Chassis Control request data.
constexpr unsigned char CHASSIS_POWER_DOWN = 0x00;
constexpr unsigned char CHASSIS_POWER_UP = 0x01;
constexpr unsigned char CHASSIS_HARD_RESET = 0x03;
// Get Chassis Status reply: byte 0 completion code, byte 1 power state.
constexpr unsigned int STATUSREPLYLEN = 2;
constexpr unsigned char POWER_IS_ON = 0x01;

// The BMC's answer to a power command: anything but success is said, with
// the node and the BMC's reason, since someone waits for the command.
void powercommanddone(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data) {
  (void)src;
  ipmi_link* l = static_cast<ipmi_link*>(rsp_data);
  unsigned int cc = msg->data_len > 0 ? msg->data[0] : IPMI_UNKNOWN_ERR_CC;
  if (cc == 0) return;
  char reason[128];
  ipmi_get_cc_string(cc, reason, sizeof reason);
  char text[MSGLEN];
  snprintf(text, sizeof text,
           "Power %s command to %s refused by its BMC: %s (0x%02x)\n",
           l->powerwords, l->owner->name, reason, cc);
  error_msg(text);
}

}  // namespace

int sendtobmc(ipmi_link* l, ipmi_msg_t* msg, ipmi_mc_response_handler_t handler,
              void* data) {
  bmcrequest r = {msg, handler, data, 0};
  int rv = ipmi_mc_pointer_cb(l->mymcid, sendonbmc, &r);
  return rv ? rv : r.rv;
}

bool ipmi_link::command(node* n, int code) {
  char* tmperrmsg = n->tmperrmsg;
  const char* name = n->name;
  if (!mymc) {
    snprintf(tmperrmsg, MSGLEN,
             "Unable to locate BMC for %s to issue power/reset command.\n",
             name);
    error_msg(tmperrmsg);
    return false;
  }

  unsigned char data = 0;
  ipmi_msg_t msg;
  msg.netfn = IPMI_CHASSIS_NETFN;
  msg.data = &data;
  msg.data_len = 1;
  msg.cmd = IPMI_CHASSIS_CONTROL_CMD;
  int rv;
  switch (code) {
    case POWEROFF:
    case POWERON:
    case RESET:
      data = code == POWEROFF  ? CHASSIS_POWER_DOWN
             : code == POWERON ? CHASSIS_POWER_UP
                               : CHASSIS_HARD_RESET;
      powerwords = code == POWEROFF ? "off" : code == POWERON ? "on" : "reset";
      rv = sendtobmc(this, &msg, powercommanddone, this);
      break;
    case STATUS:
      // The model keeps one query outstanding per node.
      msg.cmd = IPMI_GET_CHASSIS_STATUS_CMD;
      msg.data_len = 0;
      rv = sendtobmc(this, &msg, powerstatus, n);
      break;
    default:
      snprintf(tmperrmsg, MSGLEN, "Unknown command code %i issued on %s\n",
               code, name);
      error_msg(tmperrmsg);
      return false;
  }
  if (rv != 0 && code != STATUS) {
    char errtext[128];
    ipmi_get_error_string(rv, errtext, sizeof errtext);
    snprintf(tmperrmsg, MSGLEN, "Could not send power %s command to %s: %s\n",
             powerwords, name, errtext);
    error_msg(tmperrmsg);
  }
  return rv == 0;
}

void powerstatus(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data) {
  (void)src;
  node* n = static_cast<node*>(rsp_data);
  if (msg->data_len < STATUSREPLYLEN) {
    snprintf(n->tmperrmsg, MSGLEN, "failed to detect node %s power status\n",
             n->name);
    error_msg(n->tmperrmsg);
    n->reportpowerunknown();
    return;
  }
  domainisup = true;
  n->reportpower(msg->data[1] & POWER_IS_ON);
}

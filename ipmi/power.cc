// IPMI power commands and the power-state query: each becomes one chassis
// request to the node's BMC. The chassis-status reply keeps an IPMI node's
// power flag and much of its liveness up to date.
#include <OpenIPMI/ipmi_mc.h>
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

// Sends to LUN 0 of the node's BMC, reached through its id: a controller the
// library has since removed refuses the request instead of being touched.
int sendtobmc(ipmi_link* l, ipmi_msg_t* msg, ipmi_mc_response_handler_t handler,
              void* data) {
  bmcrequest r = {msg, handler, data, 0};
  int rv = ipmi_mc_pointer_cb(l->mymcid, sendonbmc, &r);
  return rv ? rv : r.rv;
}

// Chassis Control request data.
constexpr unsigned char CHASSIS_POWER_DOWN = 0x00;
constexpr unsigned char CHASSIS_POWER_UP = 0x01;
constexpr unsigned char CHASSIS_HARD_RESET = 0x03;
// Get Chassis Status reply: byte 0 completion code, byte 1 power state.
constexpr unsigned int STATUSREPLYLEN = 2;
constexpr unsigned char POWER_IS_ON = 0x01;

}  // namespace

short ipmi_link::command(node* n, int code) {
  char* tmperrmsg = n->tmperrmsg;
  const char* name = n->name;
  if (!mymc) {
    snprintf(tmperrmsg, MSGLEN,
             "Unable to locate BMC for %s to issue power/reset command.\n",
             name);
    error_msg(tmperrmsg);
    return 1;
  }

  unsigned char data = 0;
  ipmi_msg_t msg;
  msg.netfn = IPMI_CHASSIS_NETFN;
  msg.data = &data;
  msg.data_len = 1;
  msg.cmd = IPMI_CHASSIS_CONTROL_CMD;
  switch (code) {
    case POWEROFF:
    case POWERON:
    case RESET:
      data = code == POWEROFF  ? CHASSIS_POWER_DOWN
             : code == POWERON ? CHASSIS_POWER_UP
                               : CHASSIS_HARD_RESET;
      sendtobmc(this, &msg, nullptr, nullptr);
      n->clearfirsttime();
      break;
    case STATUS:
      if (n->pwr_statuswaiting == 0) {
        msg.cmd = IPMI_GET_CHASSIS_STATUS_CMD;
        msg.data_len = 0;
        if (sendtobmc(this, &msg, powerstatus, n) == 0) n->pwr_statuswaiting++;
      }
      break;
    default:
      snprintf(tmperrmsg, MSGLEN, "Unknown command code %i issued on %s\n",
               code, name);
      error_msg(tmperrmsg);
      break;
  }
  return 0;
}

void powerstatus(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data) {
  (void)src;
  node* n = static_cast<node*>(rsp_data);
  if (msg->data_len < STATUSREPLYLEN) {
    snprintf(n->tmperrmsg, MSGLEN, "failed to detect node %s power status\n",
             n->name);
    error_msg(n->tmperrmsg);
    n->pwr_statuswaiting = 0;
    n->power = false;
    n->setdead();
    n->zerosensors();
    n->clearfirsttime();
    return;
  }
  n->setalive();
  domainisup = true;
  if (msg->data[1] & POWER_IS_ON) {
    if (!n->power) {
      n->power = true;
      n->initfirsttime();
    }
  } else {
    n->power = false;
    n->zerosensors();
    n->clearfirsttime();
  }
  n->pwr_statuswaiting = 0;
}

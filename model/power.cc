// Power commands and the power-state query. An IPMI node's command becomes
// one chassis request to its BMC; an OpenBMC node's becomes a task for its
// REST worker. The chassis-status reply keeps an IPMI node's power flag and
// much of its liveness up to date.
#include <OpenIPMI/ipmi_mc.h>
#include <OpenIPMI/ipmi_msgbits.h>
#include <stdio.h>
#include <string.h>

#include "daemon/globals.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "redfish/link.h"

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
int sendtobmc(node* n, ipmi_msg_t* msg, ipmi_mc_response_handler_t handler,
              void* data) {
  bmcrequest r = {msg, handler, data, 0};
  int rv = ipmi_mc_pointer_cb(n->mymcid, sendonbmc, &r);
  return rv ? rv : r.rv;
}

}  // namespace

short node::command(int code) {
  if (thischassis && thischassis->redfish)  // Redfish glue
    return redfishlink->command(this, code);
  if (thischassis && thischassis->openbmc) {
    switch (code) {
      case POWEROFF:
      case POWERON:
      case RESET:
        clearfirsttime();
        curlAddTask(code);
        return 0;
      case STATUS:
        curlAddTask(STATUS);
        return 0;
      default:
        fprintf(stderr, "Unknown command code %i issued", code);
        return 1;
    }
  }

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
      // Chassis Control: 00 power down, 01 power up, 03 hard reset.
      data = code == POWEROFF ? 0x00 : code == POWERON ? 0x01 : 0x03;
      sendtobmc(this, &msg, nullptr, nullptr);
      clearfirsttime();
      break;
    case STATUS:
      if (pwr_statuswaiting == 0) {
        msg.cmd = IPMI_GET_CHASSIS_STATUS_CMD;
        msg.data_len = 0;
        if (sendtobmc(this, &msg, powerstatus, this) == 0) pwr_statuswaiting++;
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

short cluster::command(const char* nodename, int code) {
  node* n = findnode(nodename);
  if (!n) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg,
             "Unable to locate node %s to issue command code %i.", nodename,
             code);
    error_msg(msg);
    return 0;
  }
  return n->command(code);
}

void powerstatus(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data) {
  (void)src;
  node* n = static_cast<node*>(rsp_data);
  // Byte 0 is the completion code, byte 1 the current power state.
  if (msg->data_len < 2) {
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
  if (msg->data[1] & 0x01) {
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

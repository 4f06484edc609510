// Discovery: the connection reports of each node's domain, its BMC, its
// entities and sensors, and the binding of sensors to chassis slots by name.
// The domain is named after the node, so every callback finds its node
// through the name of the object it is handed.
#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmi_mc.h>
#include <stdio.h>
#include <string.h>

#include "config/tls.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

constexpr const char* NOSENSORMEMORY = "Unable to allocate sensor name memory\n";

}  // namespace

void domain_open(ipmi_domain_t* domain, int err, unsigned int conn_num,
                 unsigned int port_num, int still_connected, void* user_data) {
  (void)conn_num;
  (void)port_num;
  (void)still_connected;
  (void)user_data;
  char name[IPMI_DOMAIN_NAME_LEN];

  if (err) {
    ipmi_domain_get_name(domain, name, sizeof name);
    if (node* n = mycluster.findnode(name)) {
      n->zerosensors();
      n->reportanswered();
    }
    if (nodaemon) {
      char errtext[512];
      char msg[611];
      ipmi_get_error_string(err, errtext, sizeof errtext);
      ipmi_domain_get_name(domain, name, sizeof name);
      if (name[0] == '\0') strcpy(name, "unknown");
      snprintf(msg, sizeof msg, "Error creating IPMI connection to %s: %s\n",
               name, errtext);
      error_msg(msg);
    }
  }

  // Every report registers again; the library keeps one registration per
  // handler and data.
  int rv = ipmi_domain_add_mc_updated_handler(domain, handle_mc, nullptr);
  if (rv && nodaemon) {
    char msg[96];
    snprintf(msg, sizeof msg,
             "ipmi_domain_add_mc_updated_handler return error: %d\n", rv);
    error_msg(msg);
    return;
  }
  rv = ipmi_domain_add_entity_update_handler(domain, entity_change, domain);
  if (rv && nodaemon) {
    char msg[96];
    snprintf(msg, sizeof msg,
             "ipmi_domain_add_entity_update_handler return error: %d\n", rv);
    error_msg(msg);
    return;
  }
  watchsel(domain);

  // Until some node has answered, a connection report says nothing about
  // whether this node answers.
  ipmi_domain_get_name(domain, name, sizeof name);
  node* n = mycluster.findnode(name);
  if (domainisup && n) {
    if (err)
      n->reportunreachable();
    else
      n->reportanswered();
  }
}

void domain_up(ipmi_domain_t* domain, void* cb_data) {
  (void)cb_data;
  selfirstread(domain);
}

void handle_mc(ipmi_update_e op, ipmi_domain_t* domain, ipmi_mc_t* mc,
               void* cb_data) {
  (void)op;
  (void)domain;
  (void)cb_data;
  char name[IPMI_MC_NAME_LEN];
  ipmi_mc_get_name(mc, name, sizeof name);
  // Channel 0, IPMB address 20h: the BMC, the target of power commands.
  if (!strstr(name, "0.20")) return;
  char nodename[IPMI_MC_NAME_LEN];
  sensor_nodenameonly(nodename, name);
  if (ipmi_link* l = findipmi(nodename)) l->registermc(mc);
}

void entity_change(ipmi_update_e op, ipmi_domain_t* domain,
                   ipmi_entity_t* entity, void* cb_data) {
  (void)domain;
  (void)cb_data;
  if (op != IPMI_ADDED) return;
  int rv =
      ipmi_entity_add_sensor_update_handler(entity, sensor_change, nullptr);
  if (rv) {
    char msg[96];
    snprintf(msg, sizeof msg, "ipmi_entity_set_sensor_update_handler: 0x%x\n",
             rv);
    error_msg(msg);
    fatalexit(1);
  }
}

void sensor_change(ipmi_update_e op, ipmi_entity_t* ent, ipmi_sensor_t* sensor,
                   void* cb_data) {
  (void)ent;
  (void)cb_data;
  if (op != IPMI_ADDED) return;
  sdata_t* named = alloc_sdata(sensor);
  if (!named) {
    if (nodaemon) error_msg(NOSENSORMEMORY);
    return;
  }
  char nodename[sizeof named->name];
  sensor_nodenameonly(nodename, named->name);
  if (ipmi_link* l = findipmi(nodename)) l->registersensor(sensor);
  release_sdata(named);
}

void my_vlog(os_handler_t* handler, const char* format,
             enum ipmi_log_type_e log_type, va_list ap) {
  (void)handler;
  if (!debugipmilog) return;
  const char* prefix = "";
  bool lineend = true;
  switch (log_type) {
    case IPMI_LOG_INFO:
      prefix = "INFO: ";
      break;
    case IPMI_LOG_WARNING:
      prefix = "WARN: ";
      break;
    case IPMI_LOG_SEVERE:
      prefix = "SEVR: ";
      break;
    case IPMI_LOG_FATAL:
      prefix = "FATL: ";
      break;
    case IPMI_LOG_ERR_INFO:
      prefix = "EINF: ";
      break;
    case IPMI_LOG_DEBUG:
      prefix = "DEBG: ";
      break;
    case IPMI_LOG_DEBUG_START:
      prefix = "DEBG: ";
      lineend = false;
      break;
    case IPMI_LOG_DEBUG_CONT:
      lineend = false;
      break;
    case IPMI_LOG_DEBUG_END:
      break;
  }
  fputs(prefix, stdout);
  vprintf(format, ap);
  if (lineend) putchar('\n');
}

void ipmi_link::registermc(ipmi_mc_t* mc) {
  mymc = mc;
  mymcid = ipmi_mc_convert_to_id(mc);
}

bool ipmi_link::registersensor(ipmi_sensor_t* sensor) {
  sdata_t* named = alloc_sdata(sensor);
  if (!named) {
    error_msg(NOSENSORMEMORY);
    return false;
  }
  char sensorname[sizeof named->name];
  if (!sensor_nameonly(sensorname, named->name)) {
    release_sdata(named);
    return false;
  }
  // Every slot of that name gets an entry of its own, so each is polled.
  for (int kind : NAMEORDER) {
    chassisslots slots = owner->thischassis->slots(kind);
    for (int i = 0; i < slots.count; i++)
      if (slots.names[i] && strcmp(slots.names[i], sensorname) == 0)
        addsensor(sensor, kind == DISC);
  }
  release_sdata(named);
  return true;
}

bool ipmi_link::addsensor(ipmi_sensor_t* sensor, bool isdiscrete) {
  if (sensorcount < MAXIPMISENSORS) {
    // The entry's record is held by the node for the rest of the run.
    sdata_t* sdata = alloc_sdata(sensor);
    if (!sdata) {
      error_msg(NOSENSORMEMORY);
      fatalexit(1);
    }
    mysensors[sensorcount] = sensor;
    discrete[sensorcount] = isdiscrete;
    mysdatas[sensorcount] = sdata;
    sensorcount++;
    return true;
  }
  sdata_t* named = alloc_sdata(sensor);
  if (!named) {
    error_msg(NOSENSORMEMORY);
    fatalexit(1);
  }
  char sensorname[sizeof named->name] = "";
  sensor_nameonly(sensorname, named->name);
  snprintf(owner->tmperrmsg, MSGLEN,
           "Unable to add sensor %s to %s.  Max sensor count of %d reached for "
           "this node.\n",
           peertext(sensorname).c_str(), owner->name, MAXIPMISENSORS);
  error_msg(owner->tmperrmsg);
  release_sdata(named);
  return false;
}

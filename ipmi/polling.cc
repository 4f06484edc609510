// Polling of an IPMI node: the requests of one pass and the answers of its
// sensors, stored by sensor name. Requests reach sensors through the ids in
// their request records, so a sensor the library has since removed is never
// touched: the request is refused and nothing else happens.
#include <OpenIPMI/ipmi_bits.h>
#include <OpenIPMI/ipmi_err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/tls.h"
#include "ipmi/health.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

// Node and sensor name of a request record, split from a copy so that the
// record keeps its full name.
void splitnames(const sdata_t* sdata, char* nodename, char* sensorname) {
  char full[sizeof sdata->name];
  snprintf(full, sizeof full, "%s", sdata->name);
  sensor_nodenameonly(nodename, full);
  sensorname[0] = '\0';
  sensor_nameonly(sensorname, full);
}

// A failed reading is named in the foreground only; either way it makes its
// node dead.
void readingfailed(int err, const char* what, const sdata_t* sdata,
                   const char* nodename) {
  if (nodaemon) {
    char errtext[512];
    char msg[1024];
    ipmi_get_error_string(err, errtext, sizeof errtext);
    // The sensor's half of the name is the BMC's own text.
    snprintf(msg, sizeof msg, "Error 0x%x getting %s for sensor %s:\n%s\n", err,
             what, peertext(sdata->name).c_str(), errtext);
    error_msg(msg);
  }
  if (node* n = mycluster.findnode(nodename)) n->reportunreachable();
}

}  // namespace

bool ipmi_link::poll(node* n) {
  if (n->isdead()) {
    if (mymc) n->querypower();
    return false;
  }
  n->querypower();
  if (!n->ispowered()) return false;
  askpowerreading(this);

  for (int i = 0; i < sensorcount; i++) {
    sdata_t* sdata = mysdatas[i];
    use_sdata(sdata);
    int rv = discrete[i] ? ipmi_sensor_id_get_states(sdata->sensor_id,
                                                     got_discrete_states, sdata)
                         : ipmi_sensor_id_get_reading(
                               sdata->sensor_id, got_thresh_reading, sdata);
    // A refused request never calls back.
    if (rv) release_sdata(sdata);
  }
  return true;
}

void got_thresh_reading(ipmi_sensor_t* sensor, int err,
                        enum ipmi_value_present_e value_present,
                        unsigned int raw_value, double val,
                        ipmi_states_t* states, void* cb_data) {
  (void)sensor;
  (void)states;
  sdata_t* sdata = static_cast<sdata_t*>(cb_data);
  char nodename[sizeof sdata->name];
  char sensorname[sizeof sdata->name];
  splitnames(sdata, nodename, sensorname);

  if (err) {
    readingfailed(err, "threshold reading", sdata, nodename);
  } else {
    node* n = mycluster.findnode(nodename);
    domainisup = true;
    char msg[64];
    switch (value_present) {
      case IPMI_BOTH_VALUES_PRESENT:
        if (n) n->reportreading(sensorname, val);
        break;
      case IPMI_RAW_VALUE_PRESENT:
        if (nodaemon) {
          snprintf(msg, sizeof msg, "raw value only (0x%2.2x) not supported\n",
                   raw_value);
          error_msg(msg);
        }
        break;
      case IPMI_NO_VALUES_PRESENT:
        if (nodaemon) error_msg("got_thresh_reading: no value present\n");
        break;
    }
  }
  release_sdata(sdata);
}

void got_discrete_states(ipmi_sensor_t* sensor, int err, ipmi_states_t* states,
                         void* cb_data) {
  sdata_t* sdata = static_cast<sdata_t*>(cb_data);
  char nodename[sizeof sdata->name];
  char sensorname[sizeof sdata->name];
  splitnames(sdata, nodename, sensorname);

  if (err) {
    readingfailed(err, "discrete states", sdata, nodename);
    release_sdata(sdata);
    return;
  }

  domainisup = true;
  int type = ipmi_sensor_get_sensor_type(sensor);
  if (type != IPMI_SENSOR_TYPE_POWER_SUPPLY &&
      type != IPMI_SENSOR_TYPE_BATTERY) {
    char msg[64];
    snprintf(msg, sizeof msg, "Unhandled sensor type %d\n", type);
    error_msg(msg);
    release_sdata(sdata);
    return;
  }
  int num_states = 0;
  bool* table = ipmi_get_states(sensor, states, num_states);
  if (table) {
    int health = type == IPMI_SENSOR_TYPE_POWER_SUPPLY ? powersupplyhealth(table)
                                                       : batteryhealth(table);
    free(table);
    if (node* n = mycluster.findnode(nodename))
      n->reportreading(sensorname, static_cast<double>(health));
  }
  release_sdata(sdata);
}

bool* ipmi_get_states(ipmi_sensor_t* sensor, ipmi_states_t* states,
                      int& num_states) {
  bool* table = static_cast<bool*>(calloc(IPMI_NUM_STATES, sizeof(bool)));
  num_states = IPMI_NUM_STATES;
  if (!table) return nullptr;
  for (int offset = 0; offset < IPMI_NUM_STATES; offset++) {
    int readable = 0;
    if (ipmi_sensor_discrete_event_readable(sensor, offset, &readable) == 0 &&
        readable)
      table[offset] = ipmi_is_state_set(states, offset) != 0;
  }
  return table;
}

// Polling: the paced requests of every node and the answers of its IPMI
// sensors, stored by sensor name. Requests reach sensors through the ids in
// their request records, so a sensor the library has since removed is never
// touched: the request is refused and nothing else happens.
#include <OpenIPMI/ipmi_err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/globals.h"
#include "ipmi/health.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "redfish/link.h"

namespace {

constexpr time_t kPollPeriod = 5;    // a live, powered node
constexpr time_t kRetryEarlier = 2;  // off or dead: every 3 s
constexpr time_t kStaleAfter = 25;   // no accepted reading for this long

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
    snprintf(msg, sizeof msg, "Error 0x%x getting %s for sensor %s:\n%s\n", err,
             what, sdata->name, errtext);
    error_msg(msg);
  }
  mycluster.setdead(nodename);
}

}  // namespace

void cluster::getdata() {
  for (int i = 0; i < numnodes; i++) mynodes[i].getdata();
}

bool node::getdata() {
  time_t now = nowtime();
  if (now - lastquery < kPollPeriod) return false;
  lastquery = now;

  time_t last = lastupdate;
  if (last > 0 && now - last > kStaleAfter) {
    dead = true;
    lastupdate = 0;
    firsttime = 0;
  }

  if (thischassis && thischassis->openbmc) return curlPoll();
  if (thischassis && thischassis->redfish) {  // Redfish glue
    bool reads = redfishlink->poll(this);
    if (dead || !power) lastquery -= kRetryEarlier;
    return reads;
  }

  if (dead) {
    if (mymc && pwr_statuswaiting == 0) command(STATUS);
    lastquery -= kRetryEarlier;
    return false;
  }
  if (!power) {
    if (pwr_statuswaiting == 0) command(STATUS);
    lastquery -= kRetryEarlier;
    return false;
  }

  if (pwr_statuswaiting == 0) command(STATUS);
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

// The OpenBMC node's share of the poll: tasks for its REST worker. A status
// or data task already waiting is not queued again, so a slow BMC cannot make
// its queue grow without bound.
bool node::curlPoll() {
  if (dead) {
    // A status task at the dead-node pace makes the worker log in again, and
    // the power-state reply brings the node back.
    curlAddTaskOnce(STATUS);
    lastquery -= kRetryEarlier;
    return false;
  }
  if (!power) {
    if (pwr_statuswaiting == 0) curlAddTaskOnce(STATUS);
    lastquery -= kRetryEarlier;
    return false;
  }
  if (curlInLogin) return false;
  curlAddTaskOnce(STATUS);
  curlAddTaskOnce(GETDATA);
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
    mycluster.initfirsttime(nodename);
    domainisup = true;
    char msg[64];
    switch (value_present) {
      case IPMI_BOTH_VALUES_PRESENT:
        mycluster.reportsensor(nodename, sensorname, val);
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
  if (type != 0x08 && type != 0x29) {
    char msg[64];
    snprintf(msg, sizeof msg, "Unhandled sensor type %d\n", type);
    error_msg(msg);
    release_sdata(sdata);
    return;
  }
  int num_states = 0;
  bool* table = ipmi_get_states(sensor, states, num_states);
  if (table) {
    int health = type == 0x08 ? powersupplyhealth(table) : batteryhealth(table);
    free(table);
    mycluster.initfirsttime(nodename);
    mycluster.reportsensor(nodename, sensorname, static_cast<double>(health));
  }
  release_sdata(sdata);
}

bool* ipmi_get_states(ipmi_sensor_t* sensor, ipmi_states_t* states,
                      int& num_states) {
  bool* table = static_cast<bool*>(calloc(16, sizeof(bool)));
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

bool node::reportsensor(const char* sensorname, double value) {
  time_t now = nowtime();
  chassis* c = thischassis;
  std::atomic<double>* values = nullptr;
  unsigned char* zeros = nullptr;
  int index = -1;
  for (int i = 0; i < c->numfans && index < 0; i++)
    if (c->fanname[i] && strcmp(c->fanname[i], sensorname) == 0) {
      index = i;
      values = fan;
      zeros = fanfail;
    }
  for (int i = 0; i < c->numvolts && index < 0; i++)
    if (c->voltname[i] && strcmp(c->voltname[i], sensorname) == 0) {
      index = i;
      values = volt;
      zeros = voltfail;
    }
  for (int i = 0; i < c->numtemps && index < 0; i++)
    if (c->tempname[i] && strcmp(c->tempname[i], sensorname) == 0) {
      index = i;
      values = temp;
      zeros = tempfail;
    }
  for (int i = 0; i < c->numdiscs && index < 0; i++)
    if (c->discname[i] && strcmp(c->discname[i], sensorname) == 0) {
      index = i;
      values = disc;
      zeros = discfail;
    }
  if (index < 0) return true;

  // A BMC often answers 0 for a sensor it could not read this time; only a
  // third zero in a row is believed. A NaN is not 0 and is stored.
  if (value != 0.0) {
    zeros[index] = 0;
    values[index] = value;
    dead = false;
    lastupdate = now;
  } else {
    if (zeros[index] < 255) zeros[index]++;
    if (zeros[index] >= 3) values[index] = 0.0;
  }
  return true;
}

// The IPMI probe: a domain of its own, opened with handlers of its own, so
// that every sensor is seen and not only those a chassis section names.
#include "ipmi/offer.h"

#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmiif.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ipmi/health.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

struct probed;

// One probe's connection, discovery and outstanding requests.
struct probesession {
  bmcoffer* out;
  bool connected = false;
  bool failed = false;   // a connection report with an error, not connected
  int err = 0;           // the last error reported
  bool handlers = false;  // the entity handler is registered
  bool asked = false;    // discovery is complete, the readings were asked
  bool closed = false;
  int pending = 0;       // requests not yet answered
  ipmi_domain_id_t domain = IPMI_DOMAIN_ID_INVALID;
  std::vector<probed*> found;  // in the order the BMC's SDRs give them
};

// One sensor found, and the session it belongs to (the callback data of
// its requests).
struct probed {
  probesession* s;
  ipmi_sensor_id_t id;
  offeredsensor sensor;
  bool discrete;
  int type;
  int access;  // IPMI_THRESHOLD_ACCESS_SUPPORT_*
};

// IPMI threshold to limit column, critical before non-recoverable.
struct thresholdcolumn {
  enum ipmi_thresh_e first, second;
  int column;
};
const thresholdcolumn COLUMNS[NUMLIMITS] = {
    {IPMI_LOWER_CRITICAL, IPMI_LOWER_NON_RECOVERABLE, CRITLOW},
    {IPMI_LOWER_NON_CRITICAL, IPMI_LOWER_NON_CRITICAL, ALERTLOW},
    {IPMI_UPPER_NON_CRITICAL, IPMI_UPPER_NON_CRITICAL, ALERTHIGH},
    {IPMI_UPPER_CRITICAL, IPMI_UPPER_NON_RECOVERABLE, CRITHIGH}};

// The kind the daemon watches a sensor as, or -1.
int kindof(ipmi_sensor_t* sensor, bool* discrete) {
  int type = ipmi_sensor_get_sensor_type(sensor);
  *discrete = ipmi_sensor_get_event_reading_type(sensor) !=
              IPMI_EVENT_READING_TYPE_THRESHOLD;
  if (*discrete)
    return type == IPMI_SENSOR_TYPE_POWER_SUPPLY ||
                   type == IPMI_SENSOR_TYPE_BATTERY
               ? DISC
               : -1;
  switch (type) {
    case IPMI_SENSOR_TYPE_TEMPERATURE:
      return TEMP;
    case IPMI_SENSOR_TYPE_VOLTAGE:
      return VOLT;
    case IPMI_SENSOR_TYPE_FAN:
      return FAN;
    default:
      return -1;
  }
}

// Takes the thresholds that are readable and set in `th`; true when any.
bool takethresholds(ipmi_sensor_t* sensor, ipmi_thresholds_t* th,
                    offeredsensor* o) {
  bool any = false;
  for (const thresholdcolumn& c : COLUMNS) {
    for (enum ipmi_thresh_e t : {c.first, c.second}) {
      int readable = 0;
      double value;
      if (ipmi_sensor_threshold_readable(sensor, t, &readable) == 0 &&
          readable && ipmi_threshold_get(th, t, &value) == 0) {
        o->haslimit[c.column] = true;
        o->limits[c.column] = value;
        any = true;
        break;
      }
    }
  }
  return any;
}

void answered(probesession* s) { s->pending--; }

void gotreading(ipmi_sensor_t*, int err, enum ipmi_value_present_e present,
                unsigned int, double val, ipmi_states_t*, void* cb_data) {
  probed* p = static_cast<probed*>(cb_data);
  if (!err && present == IPMI_BOTH_VALUES_PRESENT) {
    p->sensor.hasreading = true;
    p->sensor.reading = val;
  }
  answered(p->s);
}

void gotstates(ipmi_sensor_t* sensor, int err, ipmi_states_t* states,
               void* cb_data) {
  probed* p = static_cast<probed*>(cb_data);
  int count = 0;
  bool* table = err ? nullptr : ipmi_get_states(sensor, states, count);
  if (table) {
    p->sensor.hasreading = true;
    p->sensor.reading = p->type == IPMI_SENSOR_TYPE_POWER_SUPPLY
                            ? powersupplyhealth(table)
                            : batteryhealth(table);
    free(table);
  }
  answered(p->s);
}

void gotthresholds(ipmi_sensor_t* sensor, int err, ipmi_thresholds_t* th,
                   void* cb_data) {
  probed* p = static_cast<probed*>(cb_data);
  if (!err) takethresholds(sensor, th, &p->sensor);
  answered(p->s);
}

void sensorfound(ipmi_update_e op, ipmi_entity_t*, ipmi_sensor_t* sensor,
                 void* cb_data) {
  probesession* s = static_cast<probesession*>(cb_data);
  if (op != IPMI_ADDED || s->asked) return;
  char fullname[IPMI_SENSOR_NAME_LEN];
  char name[IPMI_SENSOR_NAME_LEN];
  ipmi_sensor_get_name(sensor, fullname, sizeof fullname);
  if (!sensor_nameonly(name, fullname)) return;
  bool discrete = false;
  int kind = kindof(sensor, &discrete);
  probed* p = new probed{s, ipmi_sensor_convert_to_id(sensor), {}, discrete,
                         ipmi_sensor_get_sensor_type(sensor),
                         ipmi_sensor_get_threshold_access(sensor)};
  s->found.push_back(p);
  p->sensor.kind = kind;
  p->sensor.name = name;
  if (kind < 0) {
    p->sensor.unittext = ipmi_sensor_get_sensor_type_string(sensor);
    return;
  }
  if (!discrete) {
    const char* unit = ipmi_sensor_get_base_unit_string(sensor);
    p->sensor.unittext = unit ? unit : "";
    if (ipmi_sensor_get_base_unit(sensor) == IPMI_UNIT_TYPE_DEGREES_C)
      p->sensor.unittext = "degrees C";
    if (ipmi_sensor_get_percentage(sensor)) {
      p->sensor.unit = UNIT_PERCENT;
      p->sensor.unittext = "percent";
    }
    // The SDR's thresholds: what the BMC was built with, no request needed.
    ipmi_thresholds_t* th =
        static_cast<ipmi_thresholds_t*>(calloc(1, ipmi_thresholds_size()));
    if (th && ipmi_get_default_sensor_thresholds(sensor, th) == 0)
      takethresholds(sensor, th, &p->sensor);
    free(th);
  }
}

void entityfound(ipmi_update_e op, ipmi_domain_t*, ipmi_entity_t* entity,
                 void* cb_data) {
  if (op == IPMI_ADDED)
    ipmi_entity_add_sensor_update_handler(entity, sensorfound, cb_data);
}

void connection(ipmi_domain_t* domain, int err, unsigned int, unsigned int,
                int still_connected, void* cb_data) {
  probesession* s = static_cast<probesession*>(cb_data);
  if (err) {
    s->err = err;
    if (!still_connected) s->failed = true;
    return;
  }
  s->connected = true;
  if (!s->handlers)
    s->handlers =
        ipmi_domain_add_entity_update_handler(domain, entityfound, s) == 0;
}

bool wantsthresholds(const probed* p) {
  if (p->discrete) return false;
  for (bool has : p->sensor.haslimit)
    if (has) return false;
  return p->access == IPMI_THRESHOLD_ACCESS_SUPPORT_READABLE ||
         p->access == IPMI_THRESHOLD_ACCESS_SUPPORT_SETTABLE;
}

// The order of a BMC's SDRs, which OpenIPMI does not keep: its sensor
// numbers, controller by controller.
bool sdrorder(const probed* a, const probed* b) {
  const ipmi_sensor_id_t &x = a->id, &y = b->id;
  if (x.mcid.channel != y.mcid.channel) return x.mcid.channel < y.mcid.channel;
  if (x.mcid.mc_num != y.mcid.mc_num) return x.mcid.mc_num < y.mcid.mc_num;
  if (x.lun != y.lun) return x.lun < y.lun;
  return x.sensor_num < y.sensor_num;
}

// Every sensor is known: ask for what the SDRs do not say.
void fullyup(ipmi_domain_t*, void* cb_data) {
  probesession* s = static_cast<probesession*>(cb_data);
  s->asked = true;
  std::stable_sort(s->found.begin(), s->found.end(), sdrorder);
  for (probed* p : s->found) {
    if (p->sensor.kind < 0) continue;
    int rv = p->discrete
                 ? ipmi_sensor_id_get_states(p->id, gotstates, p)
                 : ipmi_sensor_id_get_reading(p->id, gotreading, p);
    if (rv == 0) s->pending++;
    if (wantsthresholds(p) &&
        ipmi_sensor_id_get_thresholds(p->id, gotthresholds, p) == 0)
      s->pending++;
  }
}

void closed(void* cb_data) { static_cast<probesession*>(cb_data)->closed = true; }

void closedomain(ipmi_domain_t* domain, void* cb_data) {
  if (ipmi_domain_close(domain, closed, cb_data) != 0)
    static_cast<probesession*>(cb_data)->closed = true;
}

// Turns the event loop until `done` or the deadline (monotonic seconds).
template <typename F>
void turnuntil(F done, time_t deadline) {
  while (!done() && nowtime() < deadline) {
    struct timeval wait = {0, 200000};
    os_hnd->perform_one_op(os_hnd, &wait);
  }
}

// Whether a connection error means that the BMC was never heard (OpenIPMI
// gives up with a timeout completion code, or the network says no) rather
// than that it answered and turned the login down (an RMCP+ status, a
// completion code, or a failed check of its answer: EINVAL).
bool silent(int err) {
  if (IPMI_IS_IPMI_ERR(err)) return IPMI_GET_IPMI_ERR(err) == IPMI_TIMEOUT_CC;
  if (IPMI_IS_RMCPP_ERR(err)) return false;
  int e = IPMI_IS_OS_ERR(err) ? IPMI_GET_OS_ERR(err) : err;
  return e == ETIMEDOUT || e == EHOSTUNREACH || e == ENETUNREACH ||
         e == ECONNREFUSED || e == EADDRNOTAVAIL;
}

}  // namespace

void ipmi_offer(node* n, time_t waitlimit, bmcoffer* out) {
  probesession s;
  s.out = out;
  ipmi_con_t* con = nullptr;
  int rv = ipmi_setupcon(n, &con);
  if (rv) {
    out->outcome = OFFER_UNREACHABLE;
    out->why = std::string("ipmi_ip_setup_con error: ") + strerror(rv);
    // OpenIPMI's word for a host name it cannot resolve.
    if (rv == EINVAL && strcmp(n->username, "SMI") != 0)
      out->why += std::string(" (does ") + n->name + "-ipmi resolve?)";
    return;
  }
  rv = ipmi_open_domain(n->name, &con, 1, connection, &s, fullyup, &s,
                        nullptr, 0, &s.domain);
  if (rv) {
    out->outcome = OFFER_UNREACHABLE;
    out->why = std::string("ipmi_init_domain: ") + strerror(rv);
    return;
  }
  const time_t deadline = nowtime() + waitlimit;
  turnuntil([&] { return s.failed || (s.asked && s.pending == 0); }, deadline);
  char errtext[512] = "";
  if (s.err) ipmi_get_error_string(s.err, errtext, sizeof errtext);
  if (s.failed && !s.connected) {
    out->outcome = silent(s.err) ? OFFER_UNREACHABLE : OFFER_REFUSED;
    out->why = errtext;
  } else if (!s.connected) {
    out->outcome = OFFER_UNREACHABLE;
    out->why = "no answer within " + std::to_string(waitlimit) + " s";
  } else {
    out->outcome = OFFER_ANSWERED;
    if (!s.asked)
      out->why = "discovery did not end within " + std::to_string(waitlimit) +
                 " s: the sensors found so far";
  }
  for (probed* p : s.found)
    if (p->sensor.kind < 0)
      out->unwatched.push_back(p->sensor.name + " (" + p->sensor.unittext + ")");
    else
      out->sensors.push_back(p->sensor);
  // The session is given back: a BMC holds only a few.
  if (ipmi_domain_pointer_cb(s.domain, closedomain, &s) != 0) s.closed = true;
  turnuntil([&] { return s.closed && s.pending <= 0; }, nowtime() + 5);
  // Records of requests still unanswered are kept: their callbacks could
  // come, were the event loop turned again.
  static std::vector<probed*> unanswered;
  for (probed* p : s.found)
    if (s.pending <= 0)
      delete p;
    else
      unanswered.push_back(p);
}

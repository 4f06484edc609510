// A node's system event log: the ring and the mark of its record, and the
// OpenIPMI callbacks that feed them. Everything OpenIPMI here runs on the
// main thread; no call waits for a BMC.
//
// Kestrel registers no per-sensor event handlers, so OpenIPMI hands every
// SEL entry, whether or not it knows the sensor, to the domain's handler.
// The entries of the log as first read are delivered too, before the domain
// is fully up: they only move the mark.
#include "ipmi/sel.h"

#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmi_mc.h>
#include <stdio.h>
#include <string.h>

#include "config/tls.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

// Room for one logged line.
constexpr size_t SELLINELEN = 256;
constexpr long long NANOSECONDS = 1000000000LL;
// A SEL record's data: 13 bytes after its id and type.
constexpr unsigned SELRECORDBYTES = 16;

const char REFUSED[] = "refuses to give its system event log";

struct sensorname {
  char* out;
  int len;
};

void namesensor(ipmi_sensor_t* sensor, void* cb_data) {
  sensorname* n = static_cast<sensorname*>(cb_data);
  ipmi_sensor_get_id(sensor, n->out, n->len);
}

void sayunread(ipmi_link* l, const char* why) {
  if (l->sel.saidunread) return;
  l->sel.saidunread = true;
  char msg[MSGLEN];
  snprintf(msg, sizeof msg,
           "The BMC of %s %s; its hardware events are not watched.\n",
           l->owner->name, why);
  info_msg(msg);
}

void rereaddone(ipmi_mc_t* mc, int err, void* cb_data) {
  (void)mc;
  if (err) sayunread(static_cast<ipmi_link*>(cb_data), REFUSED);
}

// The BMC is there: without a SEL it is reported once; with one, a read is
// asked for whose answer tells whether the BMC gives it.
void checksel(ipmi_mc_t* mc, void* cb_data) {
  ipmi_link* l = static_cast<ipmi_link*>(cb_data);
  if (!ipmi_mc_sel_device_support(mc)) {
    sayunread(l, "keeps no system event log");
    return;
  }
  if (ipmi_mc_reread_sel(mc, rereaddone, l) != 0) sayunread(l, REFUSED);
}

ipmi_link* linkof(ipmi_domain_t* domain) {
  char name[IPMI_DOMAIN_NAME_LEN];
  ipmi_domain_get_name(domain, name, sizeof name);
  return findipmi(name);
}

}  // namespace

selrecord::selrecord()
    : watching(false),
      baselined(false),
      saidunread(false),
      marked(false),
      markstamp(0),
      markid(0),
      ring(),
      next(0),
      used(0),
      counts() {}

void selrecord::keep(const selentry& e) {
  {
    holding<lockable> hold(ringlock);
    ring[next] = e;
    next = (next + 1) % SELKEPT;
    if (used < SELKEPT) used++;
  }
  if (e.severity >= 0 && e.severity < NUMSELSEVERITIES) counts[e.severity]++;
}

std::vector<selentry> selrecord::recent() {
  holding<lockable> hold(ringlock);
  std::vector<selentry> out;
  out.reserve(used);
  for (int i = 0; i < used; i++)
    out.push_back(ring[(next - used + i + SELKEPT) % SELKEPT]);
  return out;
}

unsigned long long selrecord::count(int severity) const {
  return severity >= 0 && severity < NUMSELSEVERITIES ? counts[severity].load()
                                                      : 0;
}

bool selrecord::advance(long long timestamp, unsigned recordid) {
  if (timestamp == SELNOTIME) {
    if (marked && recordid <= markid) return false;
    marked = true;
    markid = recordid;
    return true;
  }
  if (marked &&
      (timestamp < markstamp || (timestamp == markstamp && recordid <= markid)))
    return false;
  marked = true;
  markstamp = timestamp;
  markid = recordid;
  return true;
}

void watchsel(ipmi_domain_t* domain) {
  ipmi_link* l = linkof(domain);
  if (!l || l->sel.watching) return;
  if (ipmi_domain_add_event_handler(domain, sel_event, nullptr) != 0) return;
  l->sel.watching = true;
  ipmi_domain_set_sel_rescan_time(domain, SELRESCAN);
}

void selfirstread(ipmi_domain_t* domain) {
  ipmi_link* l = linkof(domain);
  if (!l) return;
  l->sel.baselined = true;
  if (l->mymc) ipmi_mc_pointer_cb(l->mymcid, checksel, l);
}

void sel_event(ipmi_domain_t* domain, ipmi_event_t* event, void* cb_data) {
  (void)cb_data;
  ipmi_link* l = linkof(domain);
  if (!l) return;
  unsigned char data[SELRECORDBYTES];
  unsigned len = ipmi_event_get_data(event, data, 0, sizeof data);
  selentry e = {};
  if (!decodeselrecord(ipmi_event_get_record_id(event),
                       ipmi_event_get_type(event), data, len, &e.event))
    return;
  ipmi_time_t stamp = ipmi_event_get_timestamp(event);
  if (e.event.timestamp != SELNOTIME && stamp != IPMI_INVALID_TIME)
    e.event.timestamp = stamp / NANOSECONDS;
  if (!l->sel.advance(e.event.timestamp, e.event.recordid) || !l->sel.baselined)
    return;

  ipmi_sensor_id_t id =
      ipmi_event_get_generating_sensor_id(domain, nullptr, event);
  sensorname named = {e.sensor, static_cast<int>(sizeof e.sensor)};
  if (!ipmi_sensor_id_is_invalid(&id) &&
      ipmi_sensor_pointer_cb(id, namesensor, &named) != 0)
    e.sensor[0] = '\0';
  e.severity = selseverity(e.event);

  // The name comes from the BMC's repository; the line goes to the log and
  // the alert e-mail, and the record keeps it as given.
  char line[SELLINELEN];
  formatselline(l->owner->name, e.event, peertext(e.sensor, 64).c_str(), line,
                sizeof line);
  info_msg(line);
  l->sel.keep(e);
  if (e.severity == SEL_CRITICAL && alerthook.hardware)
    alerthook.hardware(l->owner, line);
}

static_assert(static_cast<int>(SEL_INFO) == HWEVENT_INFO &&
                  static_cast<int>(SEL_WARNING) == HWEVENT_WARNING &&
                  static_cast<int>(SEL_CRITICAL) == HWEVENT_CRITICAL &&
                  static_cast<int>(NUMSELSEVERITIES) == NUMHWSEVERITIES,
              "the event log's classes are the model's");

bool ipmi_link::hardwareevents(std::vector<hardwareevent>* recent,
                               unsigned long long* counts) {
  for (int s = 0; s < NUMSELSEVERITIES; s++) counts[s] = sel.count(s);
  recent->clear();
  for (const selentry& e : sel.recent()) {
    hardwareevent h;
    char text[128];
    formatseltime(e.event.timestamp, text, sizeof text);
    h.time = text;
    if (e.sensor[0]) {
      h.sensor = e.sensor;
    } else {
      snprintf(text, sizeof text, "sensor 0x%02x", e.event.sensornum);
      h.sensor = text;
    }
    describeselevent(e.event, text, sizeof text);
    h.event = text;
    h.asserted = e.event.asserted;
    h.severity = e.severity;
    recent->push_back(h);
  }
  return true;
}

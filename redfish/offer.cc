// The Redfish probe. The link does the login, discovery and logout exactly
// as for the daemon; what only a probe wants, every sensor and not just the
// bound ones, is read here from the places discovery found.
#include "redfish/offer.h"

#include <string>
#include <vector>

#include "model/datastructs.h"
#include "redfish/driver.h"
#include "redfish/link.h"

namespace {

// One request with the link's session; false when it did not give a 200.
bool get(redfish_link* l, const std::string& path, redfishreply* r) {
  redfishrequest req;
  req.path = path;
  req.token = l->token;
  req.basic = l->basic && l->token.empty();
  *r = redfishfetch(l, req);
  return r->done && r->status == 200;
}

// Every member of a collection, each read on its own (by `read`, a Sensor
// by default); members that cannot be read are left out, as discovery leaves
// them out of the binding.
void eachmember(redfish_link* l, const std::string& collection,
                std::vector<redfishreading>* out,
                bool (*read)(const char*, size_t, redfishreading*,
                             std::string*) = readsensor) {
  redfishreply r;
  std::vector<std::string> members;
  std::string error;
  if (!get(l, collection, &r) ||
      !readmembers(r.body.data(), r.body.size(), &members, &error))
    return;
  for (const std::string& uri : members) {
    redfishreading m;
    if (get(l, uri, &r) && read(r.body.data(), r.body.size(), &m, &error))
      out->push_back(m);
  }
}

// The sources, in the order their readings are preferred. A newer schema
// is one more function here and one more line in redfish_offer.
void fromsensors(redfish_link* l, std::vector<redfishreading>* out) {
  if (l->ch.sensors.empty()) return;
  redfishreply r;
  std::string error;
  if (l->root.expand != REDFISH_EXPAND_NONE && !l->expandrefused) {
    std::string path = l->ch.sensors;
    path += l->root.expand == REDFISH_EXPAND_ALL ? "?$expand=*" : "?$expand=.";
    if (l->root.expandlevels) path += "($levels=1)";
    if (get(l, path, &r) &&
        readexpandedsensors(r.body.data(), r.body.size(), out, &error))
      return;
    out->clear();
  }
  eachmember(l, l->ch.sensors, out);
}

void fromthermal(redfish_link* l, std::vector<redfishreading>* out) {
  redfishreply r;
  std::string error;
  std::vector<redfishreading> fans, temps;
  if (l->ch.thermal.empty() || !get(l, l->ch.thermal, &r) ||
      !readthermal(r.body.data(), r.body.size(), &fans, &temps, &error))
    return;
  out->insert(out->end(), fans.begin(), fans.end());
  out->insert(out->end(), temps.begin(), temps.end());
}

void frompower(redfish_link* l, std::vector<redfishreading>* out) {
  redfishreply r;
  std::string error;
  std::vector<redfishreading> volts, supplies;
  if (l->ch.power.empty() || !get(l, l->ch.power, &r) ||
      !readpower(r.body.data(), r.body.size(), &volts, &supplies, &error))
    return;
  out->insert(out->end(), volts.begin(), volts.end());
  out->insert(out->end(), supplies.begin(), supplies.end());
}

void frompowersubsystem(redfish_link* l, std::vector<redfishreading>* out) {
  redfishreply r;
  std::string error, supplies;
  if (l->ch.powersubsystem.empty() || !get(l, l->ch.powersubsystem, &r) ||
      !readlinkfield(r.body.data(), r.body.size(), "PowerSupplies", &supplies,
                     &error))
    return;
  eachmember(l, supplies, out);
  for (redfishreading& s : *out) s.kind = DISC;
}

// The newer schema: ThermalMetrics' temperatures and the Fan resources.
void fromthermalsubsystem(redfish_link* l, std::vector<redfishreading>* out) {
  redfishreply r;
  std::string error, metrics, fans;
  if (l->ch.thermalsubsystem.empty() || !get(l, l->ch.thermalsubsystem, &r) ||
      !readthermalsubsystem(r.body.data(), r.body.size(), &metrics, &fans,
                            &error))
    return;
  std::vector<redfishreading> found;
  if (!fans.empty()) eachmember(l, fans, &found, readfan);
  for (redfishreading& f : found) f.kind = FAN;
  out->insert(out->end(), found.begin(), found.end());
  found.clear();
  if (!metrics.empty() && get(l, metrics, &r))
    readthermalmetrics(r.body.data(), r.body.size(), &found, &error);
  // A reading of ThermalMetrics has no Id of its own: its Sensor's Id names
  // it where its name is taken, and the daemon binds it by that Id too.
  for (redfishreading& t : found) {
    t.kind = TEMP;
    if (t.id.empty()) t.id = t.source;
  }
  out->insert(out->end(), found.begin(), found.end());
}

offeredsensor offered(const redfishreading& r) {
  offeredsensor o;
  o.kind = r.kind;
  o.name = r.name.empty() ? r.id : r.name;
  o.id = r.id;
  o.hasreading = r.kind == DISC || (r.hasvalue && !r.absent);
  o.reading = r.kind == DISC ? r.health : r.value;
  o.unit = r.percent ? UNIT_PERCENT : UNIT_USUAL;
  static const char* const UNITS[NUMKINDS] = {"RPM", "degrees C", "volts", ""};
  o.unittext = UNITS[r.kind];
  for (int l = 0; l < NUMLIMITS; l++) {
    o.haslimit[l] = r.haslimit[l];
    o.limits[l] = r.limits[l];
  }
  return o;
}

}  // namespace

void joinreadings(const std::vector<std::vector<redfishreading>>& sources,
                  bmcoffer* out) {
  size_t earlier = 0;  // readings of the sources before the current one
  for (const std::vector<redfishreading>& source : sources) {
    for (const redfishreading& r : source) {
      if (r.kind < 0) {
        out->unwatched.push_back(r.name.empty() ? r.id : r.name);
        continue;
      }
      offeredsensor o = offered(r);
      bool seen = false;
      for (size_t i = 0; i < earlier && !seen; i++)
        seen = out->sensors[i].kind == o.kind && out->sensors[i].name == o.name;
      if (!seen) out->sensors.push_back(o);
    }
    earlier = out->sensors.size();
  }
}

void redfish_offer(node* n, bmcoffer* out) {
  redfish_link* l = redfishattach(n);
  if (!l) {
    out->why = "the Redfish request handle could not be made";
    return;
  }
  n->link = l;
  // Its session goes without the daemon's Context: a daemon running on the
  // node meanwhile must neither take it for one of its own left behind nor
  // have its own deleted as such by this login.
  l->nocontext = true;
  {
    holding<lockable> hold(redfishlock);
    l->wantpoll = true;  // a pass: login, discovery and the power state
  }
  redfishdrive(l);
  if (!l->ready) {
    out->outcome = l->pacer.refusals > 0 ? OFFER_REFUSED : OFFER_UNREACHABLE;
    out->why = l->lastfault;
    // The fault is said as a line of its own; here it is the reason.
    const std::string prefix = std::string("Redfish BMC of ") + n->name + ": ";
    if (out->why.compare(0, prefix.size(), prefix) == 0)
      out->why.erase(0, prefix.size());
    while (!out->why.empty() && out->why.back() == '\n') out->why.pop_back();
  } else {
    out->outcome = OFFER_ANSWERED;
    std::vector<std::vector<redfishreading>> sources(5);
    fromsensors(l, &sources[0]);
    fromthermal(l, &sources[1]);
    frompower(l, &sources[2]);
    frompowersubsystem(l, &sources[3]);
    fromthermalsubsystem(l, &sources[4]);
    joinreadings(sources, out);
  }
  {
    holding<lockable> hold(redfishlock);
    l->wantstop = true;  // the session is given back
  }
  redfishdrive(l);
}

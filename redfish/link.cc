#include "redfish/link.h"

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <unordered_map>

#include "config/tls.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "redfish/driver.h"

namespace {

const char* methodname(int method) {
  return method == REDFISH_POST     ? "POST"
         : method == REDFISH_DELETE ? "DELETE"
                                    : "GET";
}

const char* commandname(int code) {
  return code == POWERON ? "on" : code == POWEROFF ? "off" : "reset";
}

// Messages are formed here, not in the node's tmperrmsg, which belongs to
// the main thread.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
  char text[2 * MSGLEN];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  error_msg(text);
}

__attribute__((format(printf, 1, 2))) std::string format(const char* f, ...) {
  char text[2 * MSGLEN];
  va_list args;
  va_start(args, f);
  vsnprintf(text, sizeof text, f, args);
  va_end(args);
  return text;
}

bool ok(const redfishreply& r) { return r.status >= 200 && r.status < 300; }

}  // namespace

redfish_link::redfish_link(node* owner) : n(owner) {
  for (int kind = FAN; kind <= DISC; kind++) {
    slotstate[kind].assign(slotcount(kind), SLOT_FINE);
    sloturi[kind].assign(slotcount(kind), "");
    source[kind].assign(slotcount(kind), SRC_SENSORS);
  }
}

bool redfish_link::poll(node* owner) {
  bool reads = !owner->isdead() && owner->ispowered();
  {
    holding<lockable> hold(redfishlock);
    wantpoll = true;
  }
  redfishnotify(this);
  return reads;
}

bool redfish_link::command(node* owner, int code) {
  switch (code) {
    case POWEROFF:
    case POWERON:
    case RESET: {
      {
        holding<lockable> hold(redfishlock);
        if (commands.size() >= REDFISHMAXCOMMANDS) {
          say("Too many power commands waiting for %s; power %s dropped\n",
              owner->name, commandname(code));
          return false;
        }
        commands.push_back(code);
      }
      redfishnotify(this);
      return true;
    }
    case STATUS:
      {
        holding<lockable> hold(redfishlock);
        wantstatus = true;  // one outstanding
      }
      redfishnotify(this);
      return true;
    default:
      fprintf(stderr, "Unknown command code %i issued", code);
      return false;
  }
}

void redfish_link::stop(node*) {
  {
    holding<lockable> hold(redfishlock);
    wantstop = true;
  }
  redfishnotify(this);
}

bool redfish_link::takejob() {
  holding<lockable> hold(redfishlock);
  if (wantstop) {
    wantstop = wantpoll = wantstatus = false;
    commands.clear();
    job = JOB_STOP;
  } else if (!commands.empty()) {
    command_ = commands.front();
    commands.pop_front();
    job = JOB_COMMAND;
  } else if (wantpoll) {
    // A pass reads the power state as well.
    wantpoll = wantstatus = false;
    job = JOB_POLL;
  } else if (wantstatus) {
    wantstatus = false;
    job = JOB_STATUS;
  } else {
    return false;
  }
  return true;
}

void redfish_link::beginjob() {
  renewed = false;
  if (job == JOB_POLL) jobstarted = nowtime();
  int resume = resumestep;
  resumestep = IDLE;
  if (job == JOB_STOP)
    step = token.empty() ? DONE : LOGOUT;
  else if (!ready)
    step = resume != IDLE ? resume : ROOT;
  else
    startwork();
}

void redfish_link::startwork() {
  if (job == JOB_COMMAND) {
    if (sys.resettarget.empty()) {
      failjob("the system offers no reset action");
    } else if (!chooseresettype(command_, sys.allowed)) {
      say("No reset type for power %s of %s among the allowed values\n",
          commandname(command_), n->name);
      endjob();
    } else {
      step = RESETACTION;
    }
  } else {
    step = POWERSTATE;
  }
}

void redfish_link::passdone() {
  if (job == JOB_POLL) passseconds = nowtime() - jobstarted;
}

time_t redfish_link::stalelimit() const {
  return passstalelimit(passseconds.load());
}

void redfish_link::endjob() {
  job = JOB_NONE;
  step = IDLE;
}

void redfish_link::abandon() {
  if (step != DONE) endjob();
}

void redfish_link::failjob(const std::string& why) {
  if (job == JOB_COMMAND) {
    // Each command is reported, as each was asked for.
    say("Failed to issue power %s command with Redfish to %s: %s\n",
        commandname(command_), n->name, why.c_str());
  } else {
    // A failed request (a time-out, a busy 503, a reset connection) is
    // tried again at the next pass and changes nothing in the node: real
    // BMCs fail now and then, and the model's staleness rules decide when
    // one that stays silent is dead. Discovery resumes where it stopped.
    fault(format("Redfish BMC of %s: %s\n", n->name, why.c_str()));
    if (!ready && step > SESSIONLOGIN && step < POWERSTATE &&
        (!token.empty() || basic))
      resumestep = step;
  }
  endjob();
}

bool redfish_link::waitsforlogin() {
  // Only the poll's jobs wait, and only those that must log in first: with
  // no session, or with refused basic authentication (each request logs in).
  if (job != JOB_POLL && job != JOB_STATUS) return false;
  if (pacer.refusals == 0 && (!token.empty() || basic)) return false;
  const time_t now = nowtime();
  if (!pacer.maylogin(now)) return true;
  if (basic && token.empty()) pacer.attempted(now, false);
  return false;
}

void redfish_link::loginrefused(const std::string& why) {
  const time_t now = nowtime();
  pacer.refused(now);
  n->reportunreachable();  // dead until a login is taken again
  // A command's failure is said each time (failjob); a poll's once, and
  // again each REFUSALREPORTPERIOD while it lasts.
  unsigned heldback = 0;
  if (job != JOB_COMMAND && pacer.sayrefusal(now, &heldback)) lastfault.clear();
  failjob(why);
}

void redfish_link::fault(const std::string& text) {
  if (text == lastfault) return;
  lastfault = text;
  error_msg(text.c_str());
}

bool redfish_link::next(redfishrequest* out) {
  for (;;) {
    if (step == DONE) return false;
    if (step == IDLE) {
      if (!takejob()) return false;
      if (waitsforlogin())
        endjob();  // the node stays dead until the wait is over
      else
        beginjob();
      continue;
    }
    break;
  }
  *out = redfishrequest();
  out->token = token;
  out->basic = basic && token.empty();
  const planitem* item = planpos > 0 ? &plan[planpos - 1] : nullptr;
  switch (step) {
    case ROOT:
      out->path = "/redfish/v1/";
      out->token.clear();
      out->basic = false;
      break;
    case DROPOLD:
      out->method = REDFISH_DELETE;
      out->path = stalelocation;
      out->token = staletoken;
      break;
    case SESSIONLOGIN:
      pacer.attempted(nowtime(), job == JOB_COMMAND);
      out->method = REDFISH_POST;
      out->path = root.sessions;
      out->body = sessionbody(n->username, n->password,
                              nocontext ? "" : REDFISHCONTEXT);
      out->token.clear();
      out->basic = false;
      out->timeoutms = REDFISHLOGINMS;
      break;
    case ORPHANLIST:
      out->path = root.sessions;
      break;
    case ORPHAN:
      out->path = orphans[orphanpos];
      break;
    case ORPHANDROP:
      out->method = REDFISH_DELETE;
      out->path = orphans[orphanpos];
      break;
    case SYSTEMS:
      out->path = root.systems;
      break;
    case SYSTEM:
    case POWERSTATE:
      out->path = system;
      break;
    case ACTIONINFO:
      out->path = sys.actioninfo;
      break;
    case CHASSISLIST:
      out->path = root.chassis;
      break;
    case CHASSIS:
      out->path = chassislist[cursor];
      break;
    case MEMBERS:
      out->path = ch.sensors;
      break;
    case MEMBER:
    case FANMEMBER:
    case PSUMEMBER:
      out->path = members[cursor];
      break;
    case THERMALSUB:
      out->path = ch.thermalsubsystem;
      break;
    case FANMEMBERS:
      out->path = fansuri;
      break;
    case PSULINK:
      out->path = ch.powersubsystem;
      break;
    case PSUMEMBERS:
      out->path = psucollection;
      break;
    case EXPANDED:
      out->path = expandpath(ch.sensors);
      break;
    case FANSEXPANDED:
      out->path = expandpath(fansuri);
      break;
    case METRICS:
      out->path = metricsuri;
      break;
    case ENVIRONMENT:
      out->path = ch.environment;
      break;
    case THERMAL:
      out->path = ch.thermal;
      break;
    case POWER:
      out->path = ch.power;
      break;
    case SENSOR:
    case FANREAD:
    case SUPPLY:
      out->path = sloturi[item->kind][item->index];
      break;
    case RESETACTION:
      out->method = REDFISH_POST;
      out->path = sys.resettarget;
      out->body = resetbody(chooseresettype(command_, sys.allowed));
      break;
    case LOGOUT:
      out->method = REDFISH_DELETE;
      out->path = location;
      out->timeoutms = REDFISHLOGOUTMS;
      break;
  }
  sentmethod = out->method;
  sentpath = out->path;
  return true;
}

void redfish_link::onreply(const redfishreply& r) {
  requests.count(r.seconds, r.timedout, r.done, r.status);
  const int s = step;
  if (s == LOGOUT) {
    // Whatever the answer, the session is given up.
    token.clear();
    location.clear();
    step = DONE;
    return;
  }
  if (s == DROPOLD) {
    // An expired session usually answers 401 or 404 here: it is gone.
    staletoken.clear();
    stalelocation.clear();
    step = SESSIONLOGIN;
    return;
  }
  if (!r.done) {
    failjob(format("%s %s failed: %s", methodname(sentmethod), peertext(sentpath).c_str(),
                   r.failure.c_str()));
    return;
  }
  if (r.status == 401 && s != ROOT && s != SESSIONLOGIN) {
    if (!token.empty() && !renewed) {
      // The session expired: drop it, log in again, discover again, and
      // then carry on with this job.
      renewed = true;
      staletoken = token;
      stalelocation = location;
      token.clear();
      location.clear();
      ready = false;
      step = ROOT;
      return;
    }
    const std::string why =
        format("%s %s refused: HTTP 401 (check the user and password)",
               methodname(sentmethod), peertext(sentpath).c_str());
    // With basic authentication every request is a login; a token lost
    // again right after its renewal is not the password's fault.
    if (basic && token.empty())
      loginrefused(why);
    else
      failjob(why);
    return;
  }
  if (pacer.refusals > 0 && ok(r) && s != ROOT && s != DROPOLD) {
    say("Redfish BMC of %s accepts the login again\n", n->name);
    pacer.accepted();
  }
  std::string error;
  auto refused = [&] {
    failjob(format("%s %s answered HTTP %ld", methodname(sentmethod),
                   peertext(sentpath).c_str(), r.status));
  };
  auto unreadable = [&] {
    failjob(format("reply to %s %s unreadable: %s", methodname(sentmethod),
                   peertext(sentpath).c_str(), error.c_str()));
  };
  const char* body = r.body.data();
  size_t len = r.body.size();
  switch (s) {
    case ROOT:
      if (r.status != 200) return refused();
      if (!readroot(body, len, &root, &error)) return unreadable();
      if (stalelocation.empty()) staletoken.clear();
      if (!staletoken.empty())
        step = DROPOLD;
      else if (token.empty() && !basic)
        step = SESSIONLOGIN;
      else
        step = SYSTEMS;
      return;
    case SESSIONLOGIN:
      if (ok(r) && !r.token.empty()) {
        token = r.token;
        // Kept whole: the driver refuses it if it leaves the BMC.
        location = r.location;
        const std::string host = std::string(n->name) + "-ipmi";
        if (!location.empty() && !bmcurl(host.c_str(), location, nullptr))
          fault(format("Redfish BMC of %s gave a session at another place "
                       "(%s): it is not deleted there\n",
                       n->name, peertext(location).c_str()));
        step = nocontext ? SYSTEMS : ORPHANLIST;
        return;
      }
      if (r.status == 400 && !nocontext) {
        // A service that knows no Context: log in without it.
        nocontext = true;
        step = SESSIONLOGIN;
        return;
      }
      if (r.status == 404 || r.status == 405 || r.status == 501 || ok(r)) {
        if (!saidbasic)
          say("Redfish BMC of %s refuses sessions (HTTP %ld): using basic "
              "authentication\n",
              n->name, r.status);
        saidbasic = true;
        basic = true;
        step = SYSTEMS;
        return;
      }
      if (r.status == 401 || r.status == 403)
        return loginrefused(format("login failed: HTTP %ld", r.status));
      return failjob(format("login failed: HTTP %ld", r.status));
    case ORPHANLIST:
      // A service that lists no sessions to us is left as it is.
      orphans.clear();
      orphanpos = 0;
      if (r.status == 200 && readmembers(body, len, &orphans, &error)) {
        // Our own session is the one whose path ends the Location.
        orphans.erase(
            std::remove_if(orphans.begin(), orphans.end(),
                           [this](const std::string& uri) {
                             return location.size() >= uri.size() &&
                                    location.compare(location.size() - uri.size(),
                                                     uri.size(), uri) == 0;
                           }),
            orphans.end());
      }
      step = orphans.empty() ? SYSTEMS : ORPHAN;
      return;
    case ORPHAN: {
      std::string user, context;
      if (r.status == 200 && readsession(body, len, &user, &context, &error) &&
          context == REDFISHCONTEXT && user == n->username) {
        step = ORPHANDROP;
        return;
      }
      step = ++orphanpos < orphans.size() ? ORPHAN : SYSTEMS;
      return;
    }
    case ORPHANDROP:
      // Whatever the answer: it is tried once a login.
      step = ++orphanpos < orphans.size() ? ORPHAN : SYSTEMS;
      return;
    case SYSTEMS:
      if (r.status != 200) return refused();
      if (!readmembers(body, len, &members, &error)) return unreadable();
      if (members.empty()) return failjob("the Systems collection is empty");
      system = members[0];
      step = SYSTEM;
      return;
    case SYSTEM:
      if (r.status != 200) return refused();
      if (!readsystem(body, len, &sys, &error)) return unreadable();
      if (root.chassis.empty())
        return failjob("the service root names no Chassis collection");
      step = sys.allowed.empty() && !sys.actioninfo.empty() ? ACTIONINFO
                                                            : CHASSISLIST;
      return;
    case ACTIONINFO:
      // Without the values the usual ones are sent.
      if (r.status == 200) readactioninfo(body, len, &sys.allowed, &error);
      step = CHASSISLIST;
      return;
    case CHASSISLIST:
      if (r.status != 200) return refused();
      if (!readmembers(body, len, &chassislist, &error)) return unreadable();
      if (chassislist.size() > REDFISHMAXCHASSIS)
        chassislist.resize(REDFISHMAXCHASSIS);
      if (chassislist.empty())
        return failjob("the Chassis collection is empty");
      fallbackuri.clear();
      cursor = 0;
      step = CHASSIS;
      return;
    case CHASSIS: {
      redfishchassis c;
      if (r.status == 200 && readchassis(body, len, &c, &error) &&
          (!c.sensors.empty() || !c.thermal.empty() || !c.power.empty() ||
           !c.thermalsubsystem.empty() || !c.powersubsystem.empty() ||
           !c.environment.empty())) {
        if (std::find(c.systems.begin(), c.systems.end(), system) !=
            c.systems.end()) {
          ch = c;
          chassisuri = chassislist[cursor];
          return choosechassis();
        }
        if (fallbackuri.empty()) {
          fallback = c;
          fallbackuri = chassislist[cursor];
        }
      }
      if (++cursor < chassislist.size()) return;
      if (fallbackuri.empty()) return failjob("no chassis serves sensors");
      ch = fallback;
      chassisuri = fallbackuri;
      return choosechassis();
    }
    case MEMBERS:
      if (r.status != 200) return refused();
      if (!readmembers(body, len, &members, &error)) return unreadable();
      catalog.clear();
      cursor = 0;
      if (members.empty()) return binddiscovered(STAGE_SENSORS);
      step = MEMBER;
      return;
    case MEMBER:
    case FANMEMBER:
    case PSUMEMBER: {
      // A member that cannot be read is left out of the binding.
      redfishreading m;
      if (r.status == 200 &&
          (s == FANMEMBER ? readfan(body, len, &m, &error)
                          : readsensor(body, len, &m, &error))) {
        m.uri = members[cursor];
        catalog.push_back(m);
      }
      if (++cursor < members.size()) return;
      return binddiscovered(s == MEMBER      ? STAGE_SENSORS
                            : s == FANMEMBER ? STAGE_FANS
                                             : STAGE_SUPPLIES);
    }
    case THERMALSUB:
      // A ThermalSubsystem that is not there offers nothing.
      if (r.status != 200 && r.status != 404) return refused();
      if (r.status == 200 &&
          !readthermalsubsystem(body, len, &metricsuri, &fansuri, &error))
        return unreadable();
      thermallinks = true;
      return binddiscovered(STAGE_THERMAL);
    case FANMEMBERS:
      if (r.status != 200) return refused();
      if (!readmembers(body, len, &members, &error)) return unreadable();
      catalog.clear();
      cursor = 0;
      if (members.empty()) return binddiscovered(STAGE_FANS);
      step = FANMEMBER;
      return;
    case PSULINK:
      if (r.status == 200 &&
          readlinkfield(body, len, "PowerSupplies", &psucollection, &error)) {
        step = PSUMEMBERS;
        return;
      }
      // No list of supplies: the discrete slots stay unbound.
      catalog.clear();
      return binddiscovered(STAGE_SUPPLIES);
    case PSUMEMBERS:
      if (r.status != 200) return refused();
      if (!readmembers(body, len, &members, &error)) return unreadable();
      catalog.clear();
      cursor = 0;
      if (members.empty()) return binddiscovered(STAGE_SUPPLIES);
      step = PSUMEMBER;
      return;
    case POWERSTATE: {
      if (r.status != 200) return refused();
      redfishsystem now;
      if (!readsystem(body, len, &now, &error)) return unreadable();
      if (now.power == REDFISH_POWER_UNKNOWN)
        return failjob("the system reports no PowerState");
      setpower(now.power);
      if (job == JOB_POLL && now.power == REDFISH_POWER_ON) {
        planpos = 0;
        return nextplan();
      }
      lastfault.clear();
      passdone();
      return endjob();
    }
    case EXPANDED: {
      std::vector<redfishreading> list;
      if (r.status == 200 && readexpandedsensors(body, len, &list, &error)) {
        bool first = firstread(EXPANDED);
        for (int kind = FAN; kind <= VOLT; kind++)
          readlist(kind, list, SRC_SENSORS, first);
        if (first) extendplan();  // each pass reads the new sources too
        return nextplan();
      }
      if (r.status == 200 && error != "collection members are not expanded")
        return unreadable();
      return dropexpand(ch.sensors, r.status);
    }
    case FANSEXPANDED: {
      std::vector<redfishreading> list;
      if (r.status == 200 && readexpandedfans(body, len, &list, &error)) {
        readlist(FAN, list, SRC_NEW, firstread(FANSEXPANDED));
        return nextplan();
      }
      if (r.status == 200 && error != "collection members are not expanded")
        return unreadable();
      return dropexpand(fansuri, r.status);
    }
    case THERMAL: {
      std::vector<redfishreading> fans, temps;
      if (r.status != 200) return refused();
      if (!readthermal(body, len, &fans, &temps, &error)) return unreadable();
      bool first = firstread(THERMAL);
      readlist(FAN, fans, SRC_OLD, first);
      readlist(TEMP, temps, SRC_OLD, first);
      if (first) extendplan();
      return nextplan();
    }
    case POWER: {
      std::vector<redfishreading> volts, supplies;
      if (r.status != 200) return refused();
      double watts = -1.0;
      if (!readpower(body, len, &volts, &supplies, &error, &watts))
        return unreadable();
      bool first = firstread(POWER);
      if (watts >= 0) n->reportwatts(watts);
      readlist(VOLT, volts, SRC_OLD, first);
      applylist(DISC, supplies, SRC_OLD);
      // Without PowerControl the power drawn may be in EnvironmentMetrics.
      if (first && watts < 0 && !ch.environment.empty() &&
          !planned(ENVIRONMENT))
        plan.push_back({ENVIRONMENT, 0, 0});
      if (first) extendplan();
      return nextplan();
    }
    case METRICS: {
      std::vector<redfishreading> temps;
      if (r.status != 200) return refused();
      if (!readthermalmetrics(body, len, &temps, &error)) return unreadable();
      readlist(TEMP, temps, SRC_NEW, firstread(METRICS));
      return nextplan();
    }
    case ENVIRONMENT: {
      if (r.status != 200) return refused();
      double watts = -1.0;
      bool offered = false;
      if (!readenvironment(body, len, &watts, &offered, &error))
        return unreadable();
      if (watts >= 0) n->reportwatts(watts);
      if (firstread(ENVIRONMENT) && !offered) {
        // It does not tell the power drawn: not read again.
        plan.erase(plan.begin() + static_cast<long>(--planpos));
      }
      return nextplan();
    }
    case FANREAD:
    case SENSOR:
    case SUPPLY: {
      const planitem& item = plan[planpos - 1];
      redfishreading m;
      if (r.status == 404) {
        store(item.kind, item.index, nullptr);
        return nextplan();
      }
      if (r.status != 200) return refused();
      // A Fan resource of the newer schema, else a Sensor.
      bool read = s == FANREAD ? readfan(body, len, &m, &error)
                               : readsensor(body, len, &m, &error);
      if (!read) return unreadable();
      store(item.kind, item.index, &m);
      return nextplan();
    }
    case RESETACTION:
      if (!ok(r))
        return failjob(
            format("%s answered HTTP %ld", peertext(sentpath).c_str(), r.status));
      {
        // The new state shows at the next power-state read; ask for it now.
        holding<lockable> hold(redfishlock);
        wantstatus = true;
      }
      return endjob();
  }
}

void redfish_link::choosechassis() {
  int analog = slotcount(FAN) + slotcount(TEMP) + slotcount(VOLT);
  // Power alone holds no fans or temperatures: with Sensors beside it, the
  // sensors are read one by one and Power only for the supplies.
  if (!ch.sensors.empty() && useexpand())
    sensormode = MODE_EXPAND;
  else if (!ch.thermal.empty() || ch.sensors.empty())
    sensormode = MODE_THERMALPOWER;
  else
    sensormode = MODE_PERSENSOR;
  members.clear();
  catalog.clear();
  listsread = 0;
  thermallinks = false;
  metricsuri.clear();
  fansuri.clear();
  for (int kind = FAN; kind <= DISC; kind++) {
    source[kind].assign(slotcount(kind), SRC_SENSORS);
    sloturi[kind].assign(slotcount(kind), "");
  }
  // Without the collection (or with Thermal, which serves all it has in
  // fewer requests), the sensors start at the next source.
  if (sensormode == MODE_THERMALPOWER)
    for (int kind = FAN; kind <= VOLT; kind++)
      for (int i = 0; i < slotcount(kind); i++) movedown(kind, i, SRC_SENSORS);
  if (sensormode == MODE_PERSENSOR && analog > 0) {
    step = MEMBERS;
    return;
  }
  binddiscovered(STAGE_SENSORS);
}

// Runs once a part of discovery has read what it needs (the sensor, fan or
// power-supply members into the catalog, or the ThermalSubsystem's links):
// binds those slots, then goes on with the next part.
void redfish_link::binddiscovered(int stage) {
  switch (stage) {
    case STAGE_SENSORS:
      // The members one by one; an expanded collection is first seen at
      // the first pass.
      if (sensormode != MODE_PERSENSOR) break;
      for (int kind = FAN; kind <= VOLT; kind++)
        for (int i = 0; i < slotcount(kind); i++) {
          int found = bindreading(slotname(kind, i), catalog);
          if (found >= 0)
            sloturi[kind][i] = catalog[found].uri;
          else
            movedown(kind, i, SRC_SENSORS);
        }
      break;
    case STAGE_THERMAL:
      // What the ThermalSubsystem turned out not to offer is read nowhere.
      for (int kind = FAN; kind <= TEMP; kind++)
        for (int i = 0; i < slotcount(kind); i++)
          if (source[kind][i] == SRC_NEW) movedown(kind, i, SRC_OLD);
      break;
    case STAGE_FANS:
      for (int i = 0; i < slotcount(FAN); i++) {
        if (source[FAN][i] != SRC_NEW) continue;
        int found = bindreading(slotname(FAN, i), catalog);
        if (found >= 0)
          sloturi[FAN][i] = catalog[found].uri;
        else
          movedown(FAN, i, SRC_NEW);
      }
      break;
    default:
      for (int i = 0; i < slotcount(DISC); i++) {
        int found = bindreading(slotname(DISC, i), catalog);
        sloturi[DISC][i] = found < 0 ? "" : catalog[found].uri;
      }
      break;
  }
  members.clear();
  catalog.clear();
  discovernext(stage);
}

void redfish_link::discovernext(int done) {
  if (done < STAGE_THERMAL && needthermallinks()) {
    step = THERMALSUB;
    return;
  }
  // Without $expand each fan is read alone, by the URI found here.
  if (done < STAGE_FANS && !fansuri.empty() && !useexpand() &&
      std::find(source[FAN].begin(), source[FAN].end(), SRC_NEW) !=
          source[FAN].end()) {
    step = FANMEMBERS;
    return;
  }
  if (done < STAGE_SUPPLIES && slotcount(DISC) > 0 && ch.power.empty() &&
      !ch.powersubsystem.empty()) {
    step = PSULINK;
    return;
  }
  ready = true;
  buildplan();
  startwork();
}

// The ThermalSubsystem is read when a fan or temperature may come from it:
// one bound to it already, or one whose list (an expanded collection,
// Thermal) could still lack it at its first read.
bool redfish_link::needthermallinks() const {
  if (ch.thermalsubsystem.empty()) return false;
  for (int kind = FAN; kind <= TEMP; kind++)
    for (unsigned char from : source[kind])
      if (from == SRC_OLD || from == SRC_NEW ||
          (from == SRC_SENSORS && sensormode == MODE_EXPAND))
        return true;
  return false;
}

int redfish_link::nextsource(int kind, int from) const {
  if (from < SRC_OLD && !(kind == VOLT ? ch.power : ch.thermal).empty())
    return SRC_OLD;
  if (from < SRC_NEW && kind != VOLT && !ch.thermalsubsystem.empty()) {
    if (!thermallinks)
      return ready ? SRC_NONE : SRC_NEW;  // its links come next
    if (kind == TEMP ? !metricsuri.empty()
                     : !fansuri.empty() && (useexpand() || !ready))
      return SRC_NEW;
  }
  return SRC_NONE;
}

void redfish_link::movedown(int kind, int index, int from) {
  sloturi[kind][index].clear();
  source[kind][index] = static_cast<unsigned char>(nextsource(kind, from));
  if (source[kind][index] == SRC_NONE)
    store(kind, index, nullptr);  // nowhere else either: said once
}

bool redfish_link::useexpand() const {
  return root.expand != REDFISH_EXPAND_NONE && !expandrefused;
}

bool redfish_link::planned(int what) const {
  for (const planitem& item : plan)
    if (item.step == what) return true;
  return false;
}

bool redfish_link::firstread(int what) {
  const unsigned long long bit = 1ULL << what;
  bool first = (listsread & bit) == 0;
  listsread |= bit;
  return first;
}

void redfish_link::buildplan() {
  plan.clear();
  bool expanded = false, thermal = false, power = false, metrics = false,
       fans = false;
  for (int kind = FAN; kind <= VOLT; kind++)
    for (int i = 0; i < slotcount(kind); i++) switch (source[kind][i]) {
        case SRC_SENSORS:
          if (sensormode == MODE_EXPAND)
            expanded = true;
          else
            plan.push_back({SENSOR, kind, i});
          break;
        case SRC_OLD:
          (kind == VOLT ? power : thermal) = true;
          break;
        case SRC_NEW:
          (kind == TEMP ? metrics : fans) = true;
          break;
        default:
          break;  // said missing when it moved there
      }
  if (expanded) plan.insert(plan.begin(), {EXPANDED, 0, 0});
  if (thermal) plan.push_back({THERMAL, 0, 0});
  if (power) plan.push_back({POWER, 0, 0});
  if (metrics) plan.push_back({METRICS, 0, 0});
  if (fans && useexpand()) plan.push_back({FANSEXPANDED, 0, 0});
  if (fans && !useexpand())
    for (int i = 0; i < slotcount(FAN); i++)
      if (source[FAN][i] == SRC_NEW) plan.push_back({FANREAD, FAN, i});
  if (slotcount(DISC) > 0) {
    // Power, read for voltages, gives the supplies as well.
    if (!ch.power.empty()) {
      if (!power) plan.push_back({POWER, 0, 0});
    } else {
      for (int i = 0; i < slotcount(DISC); i++)
        if (sloturi[DISC][i].empty())
          store(DISC, i, nullptr);
        else
          plan.push_back({SUPPLY, DISC, i});
    }
  }
  // The power drawn: Power's PowerControl where Power is read (and, if it
  // has none, EnvironmentMetrics from its first read on), else here.
  if (!ch.environment.empty() && !planned(POWER))
    plan.push_back({ENVIRONMENT, 0, 0});
}

// After the first read of a list: the sources its missing slots moved to.
void redfish_link::extendplan() {
  auto add = [this](int what) {
    if (!planned(what)) plan.push_back({what, 0, 0});
  };
  for (int kind = FAN; kind <= VOLT; kind++)
    for (unsigned char from : source[kind])
      if (from == SRC_OLD)
        add(kind == VOLT ? POWER : THERMAL);
      else if (from == SRC_NEW && kind == TEMP)
        add(METRICS);
      else if (from == SRC_NEW && useexpand())
        add(FANSEXPANDED);  // fans read alone were planned at discovery
}

void redfish_link::nextplan() {
  if (planpos < plan.size()) {
    step = plan[planpos++].step;
    return;
  }
  lastfault.clear();  // a whole pass went through
  passdone();
  endjob();
}

void redfish_link::dropexpand(const std::string& collection, long status) {
  // Advertised but refused or ignored: discover again without it.
  say("Redfish BMC of %s does not expand %s (HTTP %ld): reading its "
      "sensors otherwise\n",
      n->name, peertext(collection).c_str(), status);
  expandrefused = true;
  ready = false;
  endjob();
}

void redfish_link::setpower(int state) {
  switch (state) {
    case REDFISH_POWER_ON:
      n->reportpower(true);
      break;
    case REDFISH_POWER_OFF:
      n->reportpower(false);  // a powered-off node is alive
      break;
    default:
      n->reportanswered();  // on its way: readings wait for the next pass
      break;
  }
}

void redfish_link::readlist(int kind, const std::vector<redfishreading>& list,
                            int from, bool first) {
  std::vector<int> missing;
  applylist(kind, list, from, first ? &missing : nullptr);
  for (int i : missing) movedown(kind, i, from);
}

void redfish_link::applylist(int kind, const std::vector<redfishreading>& list,
                             int from, std::vector<int>* missing) {
  if (slotcount(kind) == 0) return;
  // Name before Id before the sensor a reading names, as bindreading,
  // without a search per slot.
  std::unordered_map<std::string, size_t> byname, byid, bysource;
  for (size_t i = 0; i < list.size(); i++) {
    byname.emplace(list[i].name, i);
    byid.emplace(list[i].id, i);
    bysource.emplace(list[i].source, i);
  }
  for (int i = 0; i < slotcount(kind); i++) {
    if (kind != DISC && source[kind][i] != from) continue;
    const char* name = slotname(kind, i);
    const redfishreading* r = nullptr;
    for (auto* map : {&byname, &byid, &bysource}) {
      auto it = map->find(name);
      if (it != map->end()) {
        r = &list[it->second];
        break;
      }
    }
    if (!r && missing)
      missing->push_back(i);
    else
      store(kind, i, r);
  }
}

void redfish_link::store(int kind, int index, const redfishreading* r) {
  unsigned char& said = slotstate[kind][index];
  const char* name = slotname(kind, index);
  if (!r || (kind != DISC && r->absent)) {
    if (said != SLOT_MISSING)
      say("Redfish sensor %s not found on %s\n", name, n->name);
    said = SLOT_MISSING;
    return;
  }
  double value = r->health;
  if (kind != DISC) {
    if (!r->hasvalue) {
      if (said != SLOT_NOVALUE)
        say("Redfish sensor %s on %s has no reading\n", name, n->name);
      said = SLOT_NOVALUE;
      return;
    }
    value = r->value;
  }
  said = SLOT_FINE;
  n->reportreading(name, value, r->percent ? UNIT_PERCENT : UNIT_USUAL);
}

const char* redfish_link::slotname(int kind, int index) const {
  const chassis* c = n->thischassis;
  switch (kind) {
    case FAN:
      return c->fanname[index];
    case TEMP:
      return c->tempname[index];
    case VOLT:
      return c->voltname[index];
    default:
      return c->discname[index];
  }
}

int redfish_link::slotcount(int kind) const {
  const chassis* c = n->thischassis;
  switch (kind) {
    case FAN:
      return c->numfans;
    case TEMP:
      return c->numtemps;
    case VOLT:
      return c->numvolts;
    default:
      return c->numdiscs;
  }
}

std::string redfish_link::expandpath(const std::string& collection) const {
  std::string path = collection;
  path += root.expand == REDFISH_EXPAND_ALL ? "?$expand=*" : "?$expand=.";
  if (root.expandlevels) path += "($levels=1)";
  return path;
}

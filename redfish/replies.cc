#include "redfish/replies.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "model/defines.h"
#include "util/jsontext.h"

using json = nlohmann::json;

namespace {

// Parses a whole body into an object. The depth is checked before parsing
// so that no later walk over the tree can recurse deeply.
bool parse(const char* data, size_t len, json* doc, std::string* error) {
  char text[96];
  if (len > REDFISHMAXBODY) {
    snprintf(text, sizeof text, "reply longer than %zu bytes", REDFISHMAXBODY);
    *error = text;
    return false;
  }
  if (jsondepth(data, len, REDFISHMAXDEPTH) > REDFISHMAXDEPTH) {
    snprintf(text, sizeof text, "reply nested deeper than %d levels",
             REDFISHMAXDEPTH);
    *error = text;
    return false;
  }
  *doc = json::parse(data, data + len, nullptr, false);
  if (doc->is_discarded()) {
    *error = len == 0 ? "empty reply" : "reply is not valid JSON";
    return false;
  }
  if (!doc->is_object()) {
    *error = "reply is not a JSON object";
    return false;
  }
  return true;
}

// Runs one reader; anything the library throws (memory) becomes an error.
template <class F>
bool guarded(const char* data, size_t len, std::string* error, F read) {
  try {
    json doc;
    if (!parse(data, len, &doc, error)) return false;
    return read(doc);
  } catch (...) {
    *error = "reply could not be read";
    return false;
  }
}

const json* field(const json& o, const char* key) {
  if (!o.is_object()) return nullptr;
  auto it = o.find(key);
  return it == o.end() ? nullptr : &*it;
}

// A string field of at most REDFISHMAXTEXT bytes, else "".
std::string text(const json& o, const char* key) {
  const json* v = field(o, key);
  if (!v || !v->is_string()) return "";
  const std::string& s = v->get_ref<const std::string&>();
  return s.size() <= REDFISHMAXTEXT ? s : "";
}

// The @odata.id of the link object in o[key].
std::string link(const json& o, const char* key) {
  const json* v = field(o, key);
  return v ? text(*v, "@odata.id") : "";
}

bool flag(const json& o, const char* key) {
  const json* v = field(o, key);
  return v && v->is_boolean() && v->get<bool>();
}

// A finite number in o[key].
bool number(const json& o, const char* key, double* value) {
  const json* v = field(o, key);
  if (!v || !v->is_number()) return false;
  double d = v->get<double>();
  if (!isfinite(d)) return false;
  *value = d;
  return true;
}

std::vector<std::string> strings(const json* array) {
  std::vector<std::string> out;
  if (!array || !array->is_array()) return out;
  for (const json& v : *array) {
    if (out.size() >= REDFISHMAXMEMBERS) break;
    if (v.is_string() &&
        v.get_ref<const std::string&>().size() <= REDFISHMAXTEXT)
      out.push_back(v.get<std::string>());
  }
  return out;
}

// The array o[key]; null when it is something else.
const json* array(const json& o, const char* key) {
  const json* v = field(o, key);
  return v && v->is_array() ? v : nullptr;
}

// The thresholds of a reading, by limit column: the Sensor schema's names,
// then the older Thermal and Power ones, each critical one falling back on
// its fatal one.
void thresholds(const json& o, redfishreading* r) {
  static const char* const SENSOR[4][2] = {{"LowerCritical", "LowerFatal"},
                                           {"LowerCaution", nullptr},
                                           {"UpperCaution", nullptr},
                                           {"UpperCritical", "UpperFatal"}};
  static const char* const OLDER[4][2] = {
      {"LowerThresholdCritical", "LowerThresholdFatal"},
      {"LowerThresholdNonCritical", nullptr},
      {"UpperThresholdNonCritical", nullptr},
      {"UpperThresholdCritical", "UpperThresholdFatal"}};
  const json* t = field(o, "Thresholds");
  for (int l = 0; l < 4; l++)
    for (const char* key : SENSOR[l]) {
      const json* one = key && t ? field(*t, key) : nullptr;
      if (one && number(*one, "Reading", &r->limits[l])) {
        r->haslimit[l] = true;
        break;
      }
    }
  for (int l = 0; l < 4; l++)
    for (const char* key : OLDER[l])
      if (!r->haslimit[l] && key && number(o, key, &r->limits[l]))
        r->haslimit[l] = true;
}

// The kind a Sensor's ReadingType names. A percentage is a fan's only where
// the sensor says it belongs to a fan.
int sensorkind(const json& o, const redfishreading& r) {
  std::string type = text(o, "ReadingType");
  if (type == "Temperature") return TEMP;
  if (type == "Voltage") return VOLT;
  if (type == "Rotational") return FAN;
  if (type == "Percent") {
    if (text(o, "PhysicalContext") == "Fan") return FAN;
    for (const std::string* s : {&r.name, &r.id})
      if (strcasestr(s->c_str(), "fan")) return FAN;
  }
  return -1;
}

// Name, ids, presence and health common to every kind of reading.
redfishreading common(const json& o) {
  redfishreading r;
  r.id = text(o, "Id");
  if (r.id.empty()) r.id = text(o, "MemberId");
  r.name = text(o, "Name");
  if (r.name.empty()) r.name = text(o, "FanName");
  r.uri = text(o, "@odata.id");
  if (const json* status = field(o, "Status")) {
    r.absent = text(*status, "State") == "Absent";
    r.health = healthvalue(text(*status, "Health").c_str());
  }
  thresholds(o, &r);
  return r;
}

// Every object of the array o[key] with its value read from `valuekey`.
// Whether a reading's units say percent: "Percent" in older Thermal fans,
// "%" (with ReadingType "Percent") in Sensors.
bool ispercent(const json& o) {
  std::string units = text(o, "ReadingUnits");
  return units == "%" || units == "Percent" ||
         (units.empty() && text(o, "ReadingType") == "Percent");
}

void readings(const json& o, const char* key, const char* valuekey, int kind,
              std::vector<redfishreading>* out) {
  out->clear();
  const json* a = array(o, key);
  if (!a) return;
  for (const json& m : *a) {
    if (out->size() >= REDFISHMAXMEMBERS) break;
    if (!m.is_object()) continue;
    redfishreading r = common(m);
    if (valuekey) r.hasvalue = number(m, valuekey, &r.value);
    r.percent = ispercent(m);
    r.kind = kind;
    out->push_back(r);
  }
}

// A Sensor's value: SpeedRPM where the key is present (a fan published as a
// percentage carries its speed there), else Reading.
void sensorvalue(const json& o, redfishreading* r) {
  if (field(o, "SpeedRPM")) {
    r->hasvalue = number(o, "SpeedRPM", &r->value);
  } else {
    r->hasvalue = number(o, "Reading", &r->value);
    r->percent = ispercent(o);
  }
  r->kind = sensorkind(o, *r);
}

// The last part of a DataSourceUri's path ("/.../Sensors/CPU1Temp/" gives
// "CPU1Temp"): the Id of the Sensor it names.
std::string sourceid(std::string uri) {
  while (!uri.empty() && uri.back() == '/') uri.pop_back();
  size_t slash = uri.rfind('/');
  return slash == std::string::npos ? uri : uri.substr(slash + 1);
}

// A Fan resource: its SpeedPercent excerpt gives the speed, in rpm where
// SpeedRPM is there, else as a percentage.
redfishreading fanreading(const json& o) {
  redfishreading r = common(o);
  if (const json* speed = field(o, "SpeedPercent")) {
    r.source = sourceid(text(*speed, "DataSourceUri"));
    if (field(*speed, "SpeedRPM")) {
      r.hasvalue = number(*speed, "SpeedRPM", &r.value);
    } else {
      r.hasvalue = number(*speed, "Reading", &r.value);
      r.percent = true;
    }
  }
  return r;
}

// A collection read with $expand, each member read by `read`. False when
// the members are mere links (the query was ignored).
template <class F>
bool expandedmembers(const json& doc, std::vector<redfishreading>* out,
                     std::string* error, F read) {
  out->clear();
  const json* members = array(doc, "Members");
  if (!members) {
    *error = "collection without Members";
    return false;
  }
  for (const json& m : *members) {
    if (out->size() >= REDFISHMAXMEMBERS) break;
    if (!m.is_object()) continue;
    // A link alone has one key: the service ignored the query.
    if (m.size() <= 1) {
      *error = "collection members are not expanded";
      return false;
    }
    out->push_back(read(m));
  }
  return true;
}

}  // namespace

int jsondepth(const char* data, size_t len, int limit) {
  int depth = 0, deepest = 0;
  bool instring = false;
  for (size_t i = 0; i < len; i++) {
    char c = data[i];
    if (instring) {
      if (c == '\\')
        i++;
      else if (c == '"')
        instring = false;
      continue;
    }
    if (c == '"') {
      instring = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > limit) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return deepest;
}

bool readroot(const char* data, size_t len, redfishroot* out,
              std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *out = redfishroot();
    out->systems = link(doc, "Systems");
    out->chassis = link(doc, "Chassis");
    if (const json* links = field(doc, "Links"))
      out->sessions = link(*links, "Sessions");
    if (out->sessions.empty()) {
      std::string service = link(doc, "SessionService");
      out->sessions = service.empty() ? "/redfish/v1/SessionService/Sessions"
                                      : service + "/Sessions";
    }
    if (const json* features = field(doc, "ProtocolFeaturesSupported"))
      if (const json* q = field(*features, "ExpandQuery")) {
        if (flag(*q, "NoLinks"))
          out->expand = REDFISH_EXPAND_NOLINKS;
        else if (flag(*q, "ExpandAll"))
          out->expand = REDFISH_EXPAND_ALL;
        out->expandlevels = flag(*q, "Levels");
      }
    if (out->systems.empty()) {
      *error = "service root names no Systems collection";
      return false;
    }
    return true;
  });
}

bool readmembers(const char* data, size_t len, std::vector<std::string>* out,
                 std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    out->clear();
    const json* members = array(doc, "Members");
    if (!members) {
      *error = "collection without Members";
      return false;
    }
    for (const json& m : *members) {
      if (out->size() >= REDFISHMAXMEMBERS) break;
      std::string uri = text(m, "@odata.id");
      if (!uri.empty()) out->push_back(uri);
    }
    return true;
  });
}

bool readsystem(const char* data, size_t len, redfishsystem* out,
                std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *out = redfishsystem();
    std::string state = text(doc, "PowerState");
    if (state == "On")
      out->power = REDFISH_POWER_ON;
    else if (state == "Off")
      out->power = REDFISH_POWER_OFF;
    else if (state == "PoweringOn" || state == "PoweringOff")
      out->power = REDFISH_POWER_CHANGING;
    if (const json* actions = field(doc, "Actions"))
      if (const json* reset = field(*actions, "#ComputerSystem.Reset")) {
        out->resettarget = text(*reset, "target");
        out->actioninfo = text(*reset, "@Redfish.ActionInfo");
        out->allowed =
            strings(field(*reset, "ResetType@Redfish.AllowableValues"));
      }
    return true;
  });
}

bool readactioninfo(const char* data, size_t len,
                    std::vector<std::string>* allowed, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    allowed->clear();
    if (const json* parameters = array(doc, "Parameters"))
      for (const json& p : *parameters)
        if (text(p, "Name") == "ResetType") {
          *allowed = strings(field(p, "AllowableValues"));
          return true;
        }
    *error = "action info without a ResetType parameter";
    return false;
  });
}

bool readlinkfield(const char* data, size_t len, const char* key,
                   std::string* uri, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *uri = link(doc, key);
    if (uri->empty()) *error = std::string("reply without a link ") + key;
    return !uri->empty();
  });
}

bool readsession(const char* data, size_t len, std::string* user,
                 std::string* context, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *user = text(doc, "UserName");
    *context = text(doc, "Context");
    return true;
  });
}

bool readchassis(const char* data, size_t len, redfishchassis* out,
                 std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *out = redfishchassis();
    out->sensors = link(doc, "Sensors");
    out->thermal = link(doc, "Thermal");
    out->power = link(doc, "Power");
    out->thermalsubsystem = link(doc, "ThermalSubsystem");
    out->powersubsystem = link(doc, "PowerSubsystem");
    out->environment = link(doc, "EnvironmentMetrics");
    if (const json* links = field(doc, "Links"))
      if (const json* systems = array(*links, "ComputerSystems"))
        for (const json& s : *systems) {
          if (out->systems.size() >= REDFISHMAXMEMBERS) break;
          std::string uri = text(s, "@odata.id");
          if (!uri.empty()) out->systems.push_back(uri);
        }
    return true;
  });
}

bool readsensor(const char* data, size_t len, redfishreading* out,
                std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *out = common(doc);
    sensorvalue(doc, out);
    return true;
  });
}

bool readexpandedsensors(const char* data, size_t len,
                         std::vector<redfishreading>* out, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    return expandedmembers(doc, out, error, [](const json& m) {
      redfishreading r = common(m);
      sensorvalue(m, &r);
      return r;
    });
  });
}

bool readthermal(const char* data, size_t len,
                 std::vector<redfishreading>* fans,
                 std::vector<redfishreading>* temps, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    readings(doc, "Fans", "Reading", FAN, fans);
    readings(doc, "Temperatures", "ReadingCelsius", TEMP, temps);
    return true;
  });
}

bool readpower(const char* data, size_t len, std::vector<redfishreading>* volts,
               std::vector<redfishreading>* supplies, std::string* error,
               double* watts) {
  return guarded(data, len, error, [&](const json& doc) {
    readings(doc, "Voltages", "ReadingVolts", VOLT, volts);
    readings(doc, "PowerSupplies", nullptr, DISC, supplies);
    if (watts) {
      *watts = -1.0;
      const json* control = array(doc, "PowerControl");
      if (control && !control->empty() && (*control)[0].is_object() &&
          (!number((*control)[0], "PowerConsumedWatts", watts) || *watts < 0))
        *watts = -1.0;
    }
    return true;
  });
}

bool readthermalsubsystem(const char* data, size_t len, std::string* metrics,
                          std::string* fans, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *metrics = link(doc, "ThermalMetrics");
    *fans = link(doc, "Fans");
    return true;
  });
}

bool readthermalmetrics(const char* data, size_t len,
                        std::vector<redfishreading>* temps,
                        std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    temps->clear();
    const json* a = array(doc, "TemperatureReadingsCelsius");
    if (!a) {
      *error = "thermal metrics without TemperatureReadingsCelsius";
      return false;
    }
    for (const json& m : *a) {
      if (temps->size() >= REDFISHMAXMEMBERS) break;
      if (!m.is_object()) continue;
      redfishreading r;
      r.name = text(m, "DeviceName");
      r.source = sourceid(text(m, "DataSourceUri"));
      r.hasvalue = number(m, "Reading", &r.value);
      temps->push_back(r);
    }
    return true;
  });
}

bool readfan(const char* data, size_t len, redfishreading* out,
             std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *out = fanreading(doc);
    return true;
  });
}

bool readexpandedfans(const char* data, size_t len,
                      std::vector<redfishreading>* out, std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    return expandedmembers(doc, out, error, fanreading);
  });
}

bool readenvironment(const char* data, size_t len, double* watts, bool* offered,
                     std::string* error) {
  return guarded(data, len, error, [&](const json& doc) {
    *watts = -1.0;
    const json* power = field(doc, "PowerWatts");
    *offered = power && power->is_object();
    if (*offered && (!number(*power, "Reading", watts) || *watts < 0))
      *watts = -1.0;
    return true;
  });
}

int healthvalue(const char* health) {
  if (strcmp(health, "OK") == 0) return 0;
  if (strcmp(health, "Warning") == 0) return 1;
  if (strcmp(health, "Critical") == 0) return 2;
  return 3;
}

int bindreading(const char* name, const std::vector<redfishreading>& list) {
  for (size_t i = 0; i < list.size(); i++)
    if (list[i].name == name) return static_cast<int>(i);
  for (size_t i = 0; i < list.size(); i++)
    if (list[i].id == name) return static_cast<int>(i);
  for (size_t i = 0; i < list.size(); i++)
    if (list[i].source == name) return static_cast<int>(i);
  return -1;
}

const char* chooseresettype(int code, const std::vector<std::string>& allowed) {
  static const char* const on[] = {"On", "ForceOn", nullptr};
  static const char* const off[] = {"ForceOff", "GracefulShutdown", nullptr};
  static const char* const reset[] = {"ForceRestart", "PowerCycle",
                                      "GracefulRestart", nullptr};
  const char* const* choices = code == POWERON    ? on
                               : code == POWEROFF ? off
                               : code == RESET    ? reset
                                                  : nullptr;
  if (!choices) return nullptr;
  if (allowed.empty()) return choices[0];
  for (const char* const* c = choices; *c; c++)
    for (const std::string& a : allowed)
      if (a == *c) return *c;
  return nullptr;
}

std::string sessionbody(const char* user, const char* password,
                        const char* context) {
  std::string body = "{\"UserName\": \"" + jsonescaped(user) +
                     "\", \"Password\": \"" + jsonescaped(password) + "\"";
  if (context[0]) body += ", \"Context\": \"" + jsonescaped(context) + "\"";
  return body + "}";
}

std::string resetbody(const char* resettype) {
  return "{\"ResetType\": \"" + jsonescaped(resettype) + "\"}";
}

bool readheader(const char* line, size_t len, const char* name,
                std::string* value) {
  size_t n = strlen(name);
  if (len <= n || line[n] != ':' || strncasecmp(line, name, n) != 0)
    return false;
  const char* p = line + n + 1;
  const char* end = line + len;
  while (p < end && (*p == ' ' || *p == '\t')) p++;
  while (end > p && (end[-1] == '\r' || end[-1] == '\n' || end[-1] == ' ' ||
                     end[-1] == '\t'))
    end--;
  if (static_cast<size_t>(end - p) > REDFISHMAXTEXT) return false;
  value->assign(p, end);
  return true;
}

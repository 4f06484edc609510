// The OpenBMC probe. Unlike the replies the daemon polls, the enumeration
// nests every sensor's properties in one document, which only a real JSON
// parser tells apart.
#include "openbmc/offer.h"

#include <math.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "config/tls.h"
#include "model/datastructs.h"
#include "openbmc/openbmc.h"
#include "openbmc/replies.h"

namespace {

using json = nlohmann::ordered_json;

const char SENSORPATH[] = "/xyz/openbmc_project/sensors/";

// The kind of a sensor type (the path part before its name), or -1.
int kindof(const std::string& type) {
  if (type == "fan_tach" || type == "fan_pwm") return FAN;
  if (type == "temperature") return TEMP;
  if (type == "voltage") return VOLT;
  return -1;
}

// A number scaled as the daemon scales a reading: a negative Scale divides.
bool scaled(const json& props, const char* key, long scale, double* out) {
  auto it = props.find(key);
  if (it == props.end() || !it->is_number()) return false;
  double v = it->get<double>();
  for (long s = scale; s < 0; s++) v /= 10;
  if (!isfinite(v)) return false;
  *out = v;
  return true;
}

}  // namespace

bool readenumerate(const char* data, size_t len, bmcoffer* out,
                   std::string* error) {
  try {
    json doc = json::parse(data, data + len, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("data") ||
        !doc["data"].is_object()) {
      *error = "the enumeration is not a JSON document with \"data\"";
      return false;
    }
    for (auto& item : doc["data"].items()) {
      const std::string& path = item.key();
      const json& props = item.value();
      if (path.compare(0, strlen(SENSORPATH), SENSORPATH) != 0 ||
          !props.is_object())
        continue;
      std::string name = path.substr(strlen(SENSORPATH));
      int kind = kindof(name.substr(0, name.find('/')));
      if (kind < 0 || name.find('/') == std::string::npos) {
        out->unwatched.push_back(name);
        continue;
      }
      offeredsensor o;
      o.kind = kind;
      o.name = name;
      long scale = 0;
      if (props.contains("Scale") && props["Scale"].is_number_integer())
        scale = props["Scale"].get<long>();
      o.hasreading = scaled(props, "Value", scale, &o.reading);
      std::string unit = props.value("Unit", "");
      o.unit = unit.size() >= 8 && unit.compare(unit.size() - 8, 8, ".Percent") == 0
                   ? UNIT_PERCENT
                   : UNIT_USUAL;
      static const char* const UNITS[NUMKINDS] = {"RPM", "degrees C", "volts",
                                                  ""};
      o.unittext = UNITS[kind];
      static const char* const KEYS[NUMLIMITS] = {"CriticalLow", "WarningLow",
                                                  "WarningHigh", "CriticalHigh"};
      for (int l = 0; l < NUMLIMITS; l++)
        o.haslimit[l] = scaled(props, KEYS[l], scale, &o.limits[l]);
      out->sensors.push_back(o);
    }
    return true;
  } catch (...) {
    *error = "the enumeration could not be read";
    return false;
  }
}

void openbmc_offer(node* n, bmcoffer* out) {
  // The node keeps its link, as an attached one does, for the whole run.
  openbmc_link* l = new openbmc_link(n);
  n->link = l;
  if (!l->curlSetup()) {
    out->why = "the request handle could not be made";
    return;
  }
  // A login of its own, never held back, its failure said as a command's.
  if (!openbmc_link::curlLogin(l, true)) {
    out->why = transfererror(l->curl, l->res);
    return;
  }
  if (!l->curlLoggedIn) {
    out->outcome = OFFER_REFUSED;
    out->why = "Login to " + std::string(n->name) + " failed";
    return;
  }
  out->outcome = OFFER_ANSWERED;
  long status = 0;
  std::string error;
  if (!curlenumerate(l, &status))
    out->why = std::string("the enumeration failed: ") +
               transfererror(l->curl, l->res);
  else if (status != 200)
    out->why = "the enumeration answered HTTP " + std::to_string(status);
  else if (!readenumerate(l->curlReply.data(), l->curlReply.size(), out,
                          &error))
    out->why = error;
  // The handle goes with what it holds (the cookie store's file list).
  curl_easy_cleanup(l->curl);
  l->curl = nullptr;
}

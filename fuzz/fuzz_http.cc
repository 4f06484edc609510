// The HTTP side on any text: the request's method and path, its Accept
// header, a $HTTP_LISTEN address, and names the configuration may hold
// (node, chassis, sensor, label) written into the metrics and the status
// document, whose escaping must hold for any bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "http/listen.h"
#include "http/metrics.h"
#include "http/server.h"
#include "http/snapshot.h"
#include "http/statusjson.h"

namespace {

// The input's parts, separated by NUL bytes; missing parts are empty.
std::vector<std::string> parts(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> out(count);
  size_t at = 0;
  for (size_t i = 0; i < count && at <= size; i++) {
    const void* end = memchr(data + at, 0, size - at);
    size_t len = end ? static_cast<const uint8_t*>(end) - (data + at) : size - at;
    out[i].assign(reinterpret_cast<const char*>(data + at), len);
    at += len + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> p = parts(data, size, 5);
  int route = routerequest(p[0].c_str(), p[1].c_str());
  if (route == ROUTE_PAGEFILE && !findpagefile(p[1].c_str())) __builtin_trap();
  wantsopenmetrics(p[2].c_str());
  listenaddr addr;
  parselisten(p[3].c_str(), addr);

  static const double limits[NUMLIMITS] = {1, 2, 3, 4};
  clustersnap s;
  s.now = 1700000000;
  nodesnap n;
  n.name = p[4].c_str();
  n.chassis = p[2].c_str();
  n.transport = "ipmi";
  n.dead = false;
  n.power = true;
  n.lastupdate = s.now;
  n.settling = SETTLE_DONE;
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    readingsnap r;
    r.kind = kind;
    r.sensor = p[1].c_str();
    r.label = p[4].c_str();
    r.limits = kind == DISC ? nullptr : limits;
    r.present = true;
    r.value = size % 7 - 2.5;
    r.state = limitstate(kind, r.value, r.limits);
    n.readings.push_back(r);
  }
  s.nodes.push_back(n);
  chassissnap c;
  c.name = n.chassis;
  c.sensors = n.readings;
  s.chassis.push_back(c);
  std::string out;
  formatmetrics(s, size & 1, out);
  out.clear();
  formatstatusjson(s, out);
  return 0;
}

// The Redfish reply readers on any body: each parses it with the JSON parser
// and must neither throw nor read past the bytes given; and the header
// readers on any header line.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/tls.h"
#include "fuzz/fuzzinput.h"
#include "redfish/replies.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that a read past the end is caught.
  char* body = static_cast<char*>(malloc(size ? size : 1));
  memcpy(body, data, size);
  std::string error;
  redfishroot root;
  readroot(body, size, &root, &error);
  std::vector<std::string> members;
  readmembers(body, size, &members, &error);
  redfishsystem system;
  readsystem(body, size, &system, &error);
  for (int code = 0; code < 3; code++) chooseresettype(code, system.allowed);
  std::vector<std::string> allowed;
  readactioninfo(body, size, &allowed, &error);
  std::string uri;
  readlinkfield(body, size, "PowerSupplies", &uri, &error);
  redfishchassis chassis;
  readchassis(body, size, &chassis, &error);
  redfishreading reading;
  readsensor(body, size, &reading, &error);
  std::vector<redfishreading> a, b;
  if (readexpandedsensors(body, size, &a, &error)) bindreading("CPU1 Temp", a);
  readthermal(body, size, &a, &b, &error);
  readpower(body, size, &a, &b, &error);
  std::string metrics, fans;
  readthermalsubsystem(body, size, &metrics, &fans, &error);
  if (readthermalmetrics(body, size, &a, &error)) bindreading("CPU1Temp", a);
  readfan(body, size, &reading, &error);
  if (readexpandedfans(body, size, &a, &error)) bindreading("Fan0", a);
  double watts = 0;
  bool offered = false;
  readenvironment(body, size, &watts, &offered, &error);
  std::string value;
  if (readheader(body, size, "X-Auth-Token", &value) &&
      value.size() > REDFISHMAXTEXT)
    __builtin_trap();
  readheader(body, size, "Location", &value);
  // A Location is followed only where it stays on the BMC.
  std::string url;
  if (bmcurl("bmc-ipmi", value, &url) && url.rfind("https://bmc-ipmi/", 0) != 0)
    __builtin_trap();
  free(body);
  return 0;
}

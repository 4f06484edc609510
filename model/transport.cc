#include "model/transport.h"

#include <algorithm>

time_t passstalelimit(time_t passseconds) {
  return std::min(std::max(STALEPASSES * passseconds, STALEAFTER), STALEMOST);
}

void requestcounters::count(double seconds, bool timedout, bool done,
                            long status) {
  requests++;
  micros += static_cast<unsigned long long>(seconds * 1e6);
  int kind = -1;
  if (timedout)
    kind = FAIL_TIMEOUT;
  else if (!done)
    kind = FAIL_CONNECTION;
  else if (status >= 500)
    kind = FAIL_BUSY;
  else if (status == 401 || status == 403)
    kind = FAIL_REFUSED;
  else if (status >= 400)
    kind = FAIL_OTHER;
  if (kind >= 0) failed[kind]++;
}

void requestcounters::read(bmcrequests* out) const {
  out->count = requests;
  out->seconds = static_cast<double>(micros.load()) / 1e6;
  for (int k = 0; k < NUMFAILKINDS; k++) out->failures[k] = failed[k];
}

const char* transportname(int kind) {
  switch (kind) {
    case TRANSPORT_OPENBMC:
      return "OpenBMC";
    case TRANSPORT_REDFISH:
      return "Redfish";
    default:
      return "IPMI";
  }
}

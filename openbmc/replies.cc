#include "openbmc/replies.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "config/tls.h"
#include "util/jsontext.h"

namespace {

const char STATUSTEXT[] = "\"status\": \"";
const char POWERSTATETEXT[] =
    "\"CurrentPowerState\": \"xyz.openbmc_project.State.Chassis.PowerState.";
const char SCALETEXT[] = "\"Scale\":";
const char VALUETEXT[] = "\"Value\":";
// The integer after "Scale": or "Value": is read from the ninth character
// after the start of the name, skipping the one character behind the colon.
const size_t NUMBEROFFSET = 9;

// Whether the bytes [p, end) begin with `text`.
bool startswith(const char* p, const char* end, const char* text) {
  size_t n = strlen(text);
  return static_cast<size_t>(end - p) >= n && memcmp(p, text, n) == 0;
}

bool isspace_c(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

long numberafter(const char* found, const char* end) {
  if (static_cast<size_t>(end - found) <= NUMBEROFFSET) return 0;
  return readreplyinteger(found + NUMBEROFFSET, end);
}

}  // namespace

const char* findreplytext(const char* data, size_t len, const char* text) {
  size_t n = strlen(text);
  if (data == nullptr || n == 0 || len < n) return nullptr;
  return static_cast<const char*>(memmem(data, len, text, n));
}

long readreplyinteger(const char* p, const char* end) {
  while (p < end && isspace_c(*p)) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    p++;
  }
  long value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    int digit = *p - '0';
    if (value > (LONG_MAX - digit) / 10) {
      value = LONG_MAX;  // saturate; keeps -value representable
      continue;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

bool appendreply(std::string* reply, const char* data, size_t len) {
  if (len > OPENBMCMAXREPLY - reply->size()) return false;
  reply->append(data, len);
  return true;
}

bool loginrefused(long httpcode, const char* data, size_t len) {
  if (httpcode == 401 || httpcode == 403) return true;
  if (loginreply(data, len) == LOGIN_OK) return false;
  return findreplytext(data, len, "locked") ||
         findreplytext(data, len, "Locked");
}

int loginreply(const char* data, size_t len) {
  const char* end = data + len;
  const char* found = findreplytext(data, len, STATUSTEXT);
  if (!found) return LOGIN_NOSTATUS;
  const char* after = found + strlen(STATUSTEXT);
  return startswith(after, end, "ok") ? LOGIN_OK : LOGIN_REFUSED;
}

int powerstatereply(const char* data, size_t len) {
  const char* end = data + len;
  const char* found = findreplytext(data, len, POWERSTATETEXT);
  if (!found) return POWERSTATE_UNKNOWN;
  const char* after = found + strlen(POWERSTATETEXT);
  if (startswith(after, end, "On")) return POWERSTATE_ON;
  if (startswith(after, end, "Off")) return POWERSTATE_OFF;
  return POWERSTATE_UNKNOWN;
}

int sensorreply(const char* data, size_t len, double* reading) {
  const char* end = data + len;
  const char* scale = findreplytext(data, len, SCALETEXT);
  if (!scale) return SENSOR_NOSCALE;
  const char* value = findreplytext(data, len, VALUETEXT);
  if (!value) return SENSOR_NOVALUE;
  *reading = scaledreading(numberafter(scale, end), numberafter(value, end));
  return SENSOR_READING;
}

double scaledreading(long scale, long value) {
  // A double holds any power of ten a scale can ask for (very small scales
  // give an infinite divisor and so a reading of 0), where an integer
  // divisor would overflow below -9.
  double divisor = scale < 0 ? pow(10.0, -static_cast<double>(scale)) : 1.0;
  return static_cast<double>(value) / divisor;
}

bool formatloginbody(char* out, size_t outlen, const char* user,
                     const char* password) {
  std::string body = "{\"data\": [ \"" + jsonescaped(user) + "\", \"" +
                     jsonescaped(password) + "\" ] }";
  int n = snprintf(out, outlen, "%s", body.c_str());
  return n >= 0 && static_cast<size_t>(n) < outlen;
}

std::string replytext(const char* data, size_t len) {
  // One byte past what peertext keeps is enough for it to mark the cut.
  constexpr size_t KEPT = 160;
  return peertext(std::string(data, len < KEPT + 1 ? len : KEPT + 1), KEPT);
}

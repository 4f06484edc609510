// Reading OpenBMC REST replies and forming the login body. The replies are
// not parsed as JSON: each handler looks for a fixed text and reads what
// follows it. Each is given a whole reply, which need not be NUL-terminated;
// every function here stays within the bytes it is given.
#ifndef KESTREL_OPENBMC_REPLIES_H_
#define KESTREL_OPENBMC_REPLIES_H_

#include <stddef.h>

#include <string>

// The longest reply taken from a BMC; a longer one ends its transfer.
constexpr size_t OPENBMCMAXREPLY = 4 * 1024 * 1024;

// Results of loginreply.
enum { LOGIN_NOSTATUS = -1, LOGIN_REFUSED = 0, LOGIN_OK = 1 };
// Results of powerstatereply.
enum { POWERSTATE_UNKNOWN = -1, POWERSTATE_OFF = 0, POWERSTATE_ON = 1 };
// Results of sensorreply.
enum { SENSOR_NOSCALE = 0, SENSOR_NOVALUE = 1, SENSOR_READING = 2 };

// The first occurrence of `text` within data[0, len); null when absent.
const char* findreplytext(const char* data, size_t len, const char* text);
// Reads white space, an optional sign and decimal digits from [p, end), as
// atoi does; no digits give 0, and values beyond a long saturate.
long readreplyinteger(const char* p, const char* end);
// Adds a piece of a reply to `reply`; false, leaving `reply` as it was, when
// the reply would grow beyond OPENBMCMAXREPLY.
bool appendreply(std::string* reply, const char* data, size_t len);
// Judges a login reply by the text after "status": ".
int loginreply(const char* data, size_t len);
// Whether a login reply refuses the credentials: HTTP 401 or 403, or a text
// that says the account is locked. Retrying such a login soon only locks
// the account (longer).
bool loginrefused(long httpcode, const char* data, size_t len);
// Judges a chassis state reply by its CurrentPowerState.
int powerstatereply(const char* data, size_t len);
// Reads a sensor reply; on SENSOR_READING `reading` is set.
int sensorreply(const char* data, size_t len, double* reading);
// value / 10^-scale for a negative scale; a scale of 0 or above is ignored.
double scaledreading(long scale, long value);
// A reply piece of data[0, len) as a message quotes it: escaped and cut as
// peertext does, so a BMC can neither forge a log line nor flood the log.
std::string replytext(const char* data, size_t len);
// Forms the login body {"data": [ "user", "password" ] } with both values
// escaped; returns false when it did not fit (and was cut).
bool formatloginbody(char* out, size_t outlen, const char* user,
                     const char* password);

#endif  // KESTREL_OPENBMC_REPLIES_H_

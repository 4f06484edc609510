// The rules of every HTTPS request to a BMC (Redfish and OpenBMC).
//
// Certificates: BMCs ship with self-signed certificates, so none is checked
// unless the cluster file names a CA file with "$TLS_CA <file>": then every
// HTTPS BMC must present a certificate that chains to it and names
// <node>-ipmi.
//
// Where a request may go: a BMC's password and session token must reach
// that BMC and nothing else, whatever its replies say. Every URL is built
// with libcurl's URL API from https://<node>-ipmi and a path, only HTTPS is
// spoken, no redirect is followed and no proxy is taken from the
// environment (certificates are usually not checked).
#ifndef KESTREL_CONFIG_TLS_H_
#define KESTREL_CONFIG_TLS_H_

#include <curl/curl.h>

#include <string>

// Sets the CA file (start-up, before any request); "" turns checks off.
void settlscafile(const char* path);
// The CA file, "" when certificates are not checked.
const char* tlscafile();
// Gives a handle the certificate options (no checks, or peer and host name
// checked against the CA file) and the limits on where it may go: HTTPS
// only, no redirect, no proxy. Call after every curl_easy_reset.
void settlsoptions(CURL* c);

// The URL of `ref` on the BMC at https://<host>/ in `url` (when not null),
// or false when
// `ref` would leave it. `ref` is an absolute path ("/redfish/v1/...", with
// any query), or a whole URL of the BMC's own scheme, host and port (as a
// Location header may give); anything else, and any control character, is
// refused: another host ("//evil/", "@evil:8443/"), another scheme or port,
// a user name, a relative path.
bool bmcurl(const char* host, const std::string& ref, std::string* url);

// `text` of a peer for a message: control characters and bytes above 126
// as \xNN, cut to `max` bytes with "..." after. A BMC's text can then
// neither forge a log line nor flood the log.
std::string peertext(const std::string& text, size_t max = 160);

// What went wrong with a transfer on `c` that ended with `res`, in libcurl's
// short words; but when the process had no descriptor left for it, which
// libcurl reports as a failed name lookup or connect, it says so instead.
const char* transfererror(CURL* c, CURLcode res);

#endif  // KESTREL_CONFIG_TLS_H_

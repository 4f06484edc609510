// Certificate checks for the HTTPS BMCs (Redfish and OpenBMC). BMCs ship
// with self-signed certificates, so none is checked unless the cluster file
// names a CA file with "$TLS_CA <file>": then every HTTPS BMC must present
// a certificate that chains to it and names <node>-ipmi.
#ifndef KESTREL_CONFIG_TLS_H_
#define KESTREL_CONFIG_TLS_H_

#include <curl/curl.h>

// Sets the CA file (start-up, before any request); "" turns checks off.
void settlscafile(const char* path);
// The CA file, "" when certificates are not checked.
const char* tlscafile();
// Gives a handle the certificate options: no checks, or peer and host name
// checked against the CA file. Call after every curl_easy_reset.
void settlsoptions(CURL* c);

#endif  // KESTREL_CONFIG_TLS_H_

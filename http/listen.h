// The address the HTTP server listens on, as written after $HTTP_LISTEN.
#ifndef KESTREL_HTTP_LISTEN_H_
#define KESTREL_HTTP_LISTEN_H_

#include <sys/socket.h>

class listenaddr {
 public:
  sockaddr_storage addr;  // sockaddr_in or sockaddr_in6
  socklen_t len = 0;      // 0: no address
};

// Parses "<IPv4 address>:<port>" or "[<IPv6 address>]:<port>" (numeric
// addresses only, port 1 to 65535, nothing before or after). Returns false
// and leaves `out` alone for anything else.
bool parselisten(const char* text, listenaddr& out);

#endif  // KESTREL_HTTP_LISTEN_H_

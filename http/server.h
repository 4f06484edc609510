// The HTTP server: metrics, the status document and the status page.
#ifndef KESTREL_HTTP_SERVER_H_
#define KESTREL_HTTP_SERVER_H_

// Idle seconds after which a connection is closed.
constexpr unsigned int HTTPIDLETIMEOUT = 10;
// Seconds a request may take to arrive in full, counted from the accept or
// from the previous reply on the connection; bytes do not extend it.
constexpr double HTTPREQUESTTIMEOUT = 10;
// Connections served at once from one client address; in all, the
// descriptor budget decides (httpconnectionlimit).
constexpr unsigned int HTTPCONNECTIONSPERADDRESS = 16;
// Of that budget, kept free so that a new connection is accepted while the
// one it displaces is still closing.
constexpr unsigned int HTTPACCEPTROOM = 16;
// Memory of one connection; the request line and headers must fit in it.
constexpr unsigned long HTTPREQUESTMEMORY = 16384;

// Keeps the address of a $HTTP_LISTEN line (its first field); ends the
// process with a message and status 1 when it is not "<IPv4>:<port>" or
// "[<IPv6>]:<port>". Start-up only.
void sethttplisten(const char* text);

// Without $HTTP_LISTEN, does nothing. Otherwise binds the address, ending
// the process with a message and status 1 when that fails, and starts
// serving on libmicrohttpd's own thread. Start-up only, after the model's
// tables are filled.
void starthttpserver();

// The URL path of a served file, its content type and its bytes; nullptr
// for any other path. The status page and its style and script are built
// into the binary.
class servedfile {
 public:
  const char* path;
  const char* type;
  const unsigned char* data;
  unsigned long size;
};
const servedfile* findpagefile(const char* path);

// What a request asks for, by its method and URL path (without the query,
// which nothing here reads). Pure.
enum {
  ROUTE_METRICS,
  ROUTE_STATUSJSON,
  ROUTE_PAGEFILE,  // findpagefile(path) has it
  ROUTE_NOTFOUND,
  ROUTE_BADMETHOD  // neither GET nor HEAD
};
int routerequest(const char* method, const char* path);

#endif  // KESTREL_HTTP_SERVER_H_

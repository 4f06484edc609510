// The HTTP server. libmicrohttpd runs one thread of its own that waits on
// every connection with epoll and calls answer() for each request; nothing
// else in the daemon waits for that thread, and that thread waits for
// nothing but its sockets. answer() takes a snapshot of the model the way
// the output thread reads it (one atomic load per value, no lock), formats
// the whole reply in memory and hands it to the library, which writes it as
// fast as the client reads. A slow or hostile client costs one connection
// slot and its memory: idle connections are closed after HTTPIDLETIMEOUT,
// the connection count is bounded in all and per client address, and a
// request line or header block larger than HTTPREQUESTMEMORY is refused.
#include "http/server.h"

#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "model/globals.h"
#include "http/listen.h"
#include "http/metrics.h"
#include "http/pagefiles.h"
#include "http/snapshot.h"
#include "http/statusjson.h"

namespace {

// Set at start-up only, before the server thread exists.
listenaddr httpaddr;
std::string httptext;

const servedfile pagefiles[] = {
    {"/", "text/html; charset=utf-8", page_index_html, page_index_html_size},
    {"/style.css", "text/css; charset=utf-8", page_style_css,
     page_style_css_size},
    {"/app.js", "text/javascript; charset=utf-8", page_app_js,
     page_app_js_size},
};

// The page loads nothing from anywhere but this server.
const char* const PAGEPOLICY =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; "
    "frame-ancestors 'none'";

MHD_Result reply(MHD_Connection* conn, unsigned int status, const char* type,
                 const void* data, size_t size, MHD_ResponseMemoryMode mode) {
  MHD_Response* r =
      MHD_create_response_from_buffer(size, const_cast<void*>(data), mode);
  if (!r) return MHD_NO;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  if (mode == MHD_RESPMEM_PERSISTENT && status == MHD_HTTP_OK)
    MHD_add_response_header(r, "Content-Security-Policy", PAGEPOLICY);
  else
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  MHD_Result rv = MHD_queue_response(conn, status, r);
  MHD_destroy_response(r);
  return rv;
}

MHD_Result replytext(MHD_Connection* conn, unsigned int status,
                     const char* type, const std::string& text) {
  return reply(conn, status, type, text.data(), text.size(),
               MHD_RESPMEM_MUST_COPY);
}

MHD_Result answer(void*, MHD_Connection* conn, const char* url,
                  const char* method, const char*, const char*,
                  size_t* uploadsize, void** requeststate) {
  int route = routerequest(method, url);
  // Refused at once; the library then closes the connection.
  if (route == ROUTE_BADMETHOD)
    return replytext(conn, MHD_HTTP_METHOD_NOT_ALLOWED,
                     "text/plain; charset=utf-8", "Only GET and HEAD.\n");
  // A reply queued at the first call, with the headers, would close the
  // connection; at the second one the request is complete and the client
  // may send the next request on the same connection.
  static int headersseen;
  if (*requeststate == nullptr) {
    *requeststate = &headersseen;
    return MHD_YES;
  }
  if (*uploadsize != 0) {
    *uploadsize = 0;  // a body has no meaning here
    return MHD_YES;
  }
  bool metrics = route == ROUTE_METRICS;
  if (metrics || route == ROUTE_STATUSJSON) {
    clustersnap snap;
    takesnapshot(snap, nowtime());
    std::string body;
    if (!metrics) {
      formatstatusjson(snap, body);
      return replytext(conn, MHD_HTTP_OK, "application/json", body);
    }
    bool om = wantsopenmetrics(
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Accept"));
    formatmetrics(snap, om, body);
    return replytext(conn, MHD_HTTP_OK, om ? OPENMETRICSTYPE : METRICSTYPE,
                     body);
  }
  const servedfile* f = route == ROUTE_PAGEFILE ? findpagefile(url) : nullptr;
  if (f)
    return reply(conn, MHD_HTTP_OK, f->type, f->data, f->size,
                 MHD_RESPMEM_PERSISTENT);
  return replytext(conn, MHD_HTTP_NOT_FOUND, "text/plain; charset=utf-8",
                   "Not found.\n");
}

[[noreturn]] void cannotlisten(const char* why) {
  fatalf(1, "Unable to serve HTTP on %s: %s\nExiting now.\n",
              httptext.c_str(), why);
}

}  // namespace

const servedfile* findpagefile(const char* path) {
  for (const servedfile& f : pagefiles)
    if (strcmp(f.path, path) == 0) return &f;
  return nullptr;
}

int routerequest(const char* method, const char* path) {
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    return ROUTE_BADMETHOD;
  if (strcmp(path, "/metrics") == 0) return ROUTE_METRICS;
  if (strcmp(path, "/status.json") == 0) return ROUTE_STATUSJSON;
  return findpagefile(path) ? ROUTE_PAGEFILE : ROUTE_NOTFOUND;
}

void sethttplisten(const char* text) {
  if (!parselisten(text, httpaddr))
    fatalf(1,
                "Invalid $HTTP_LISTEN address %s (expected <IPv4 address>:"
                "<port> or [<IPv6 address>]:<port>).\nExiting now.\n",
                text);
  httptext = text;
}

void starthttpserver() {
  if (httpaddr.len == 0) return;
  int family = httpaddr.addr.ss_family;
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) cannotlisten(strerror(errno));
  int on = 1;
  // A restart must not wait for the previous run's connections to time out.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET6)
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&httpaddr.addr), httpaddr.len) !=
          0 ||
      listen(fd, SOMAXCONN) != 0)
    cannotlisten(strerror(errno));
  MHD_Daemon* d = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr,
      answer, nullptr, MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, HTTPCONNECTIONS,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, HTTPCONNECTIONSPERADDRESS,
      MHD_OPTION_CONNECTION_TIMEOUT, HTTPIDLETIMEOUT,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(HTTPREQUESTMEMORY), MHD_OPTION_END);
  if (!d) cannotlisten("libmicrohttpd did not start");
  // The server runs for the whole life of the process.
}

// The HTTP server. One thread of its own runs libmicrohttpd's epoll loop and
// calls answer() for each request; nothing else in the daemon waits for that
// thread, and that thread waits for nothing but its sockets and its clock.
// answer() takes a snapshot of the model the way the output thread reads it
// (one atomic load per value, no lock), formats the whole reply in memory and
// hands it to the library, which writes it as fast as the client reads. A
// slow or hostile client costs one connection slot and its memory, and only
// for a while: idle connections are closed after HTTPIDLETIMEOUT, a request
// that has not arrived in full HTTPREQUESTTIMEOUT after the accept (or the
// previous reply) is closed however its bytes trickle, the connection count
// is bounded per client address and in all by the descriptor budget, a new
// connection past that bound displaces the oldest one still waiting for its
// request, and a request line or header block larger than HTTPREQUESTMEMORY
// is refused.
#include "http/server.h"

#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <pthread.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "model/datastructs.h"
#include "model/globals.h"
#include "http/deadline.h"
#include "http/listen.h"
#include "http/metrics.h"
#include "http/pagefiles.h"
#include "http/snapshot.h"
#include "http/statusjson.h"

namespace {

// Set at start-up only, before the server thread exists.
listenaddr httpaddr;
std::string httptext;

// Touched only on the server's thread: libmicrohttpd calls back on the thread
// that runs it, and that is the only thread that runs it. That thread alone
// closes the library's sockets too, so a socket named here is still the
// connection's when shut down.
requestclock* deadlines;

double monotonic() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int socketof(MHD_Connection* conn) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
  return info ? info->connect_fd : -1;
}

// Ends a connection the library still owns: its next read sees the end and
// it closes the socket itself.
void hangup(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void noteconnection(void*, MHD_Connection* conn, void** socketcontext,
                    MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    int fd = socketof(conn);
    // Kept for the close, when the library may no longer tell it.
    *socketcontext = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
    hangup(deadlines->opened(fd, monotonic()));
  } else {
    deadlines->closed(
        static_cast<int>(reinterpret_cast<intptr_t>(*socketcontext)));
  }
}

void notereply(void*, MHD_Connection* conn, void**,
               MHD_RequestTerminationCode) {
  deadlines->replied(socketof(conn), monotonic());
}

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
  deadlines->requested(socketof(conn));
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
    takesnapshot(snap, walltime());
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

void* serve(void* arg) {
  MHD_Daemon* d = static_cast<MHD_Daemon*>(arg);
  pollfd events = {MHD_get_daemon_info(d, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd,
                   POLLIN, 0};
  for (;;) {
    MHD_UNSIGNED_LONG_LONG mhdwait;
    long wait = MHD_get_timeout(d, &mhdwait) == MHD_YES
                    ? static_cast<long>(mhdwait)
                    : -1;
    double due = deadlines->untilnext(monotonic());
    // Rounded up: waking a little early would only find nothing due.
    long duewait = due < 0 ? -1 : static_cast<long>(due * 1000) + 1;
    if (duewait >= 0 && (wait < 0 || duewait < wait)) wait = duewait;
    poll(&events, 1, static_cast<int>(wait));
    MHD_run(d);
    for (int fd : deadlines->overdue(monotonic())) hangup(fd);
  }
  return nullptr;
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
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  // OpenIPMI's selector can fall back to pselect(), whose sets end at
  // FD_SETSIZE: HTTP must leave the daemon's own sockets below it.
  unsigned int limit = httpconnectionlimit(files.rlim_cur, FD_SETSIZE,
                                           mycluster.getnumnodes());
  deadlines = new requestclock(limit - HTTPACCEPTROOM, HTTPREQUESTTIMEOUT);
  // The library's own bound is only reached while displaced connections
  // are still closing.
  MHD_Daemon* d = MHD_start_daemon(
      MHD_USE_EPOLL, 0, nullptr, nullptr, answer, nullptr,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, limit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, HTTPCONNECTIONSPERADDRESS,
      MHD_OPTION_CONNECTION_TIMEOUT, HTTPIDLETIMEOUT,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(HTTPREQUESTMEMORY), MHD_OPTION_NOTIFY_CONNECTION,
      noteconnection, nullptr, MHD_OPTION_NOTIFY_COMPLETED, notereply,
      nullptr, MHD_OPTION_END);
  if (!d) cannotlisten("libmicrohttpd did not start");
  // The server runs for the whole life of the process.
  pthread_t server;
  if (pthread_create(&server, nullptr, serve, d) != 0)
    cannotlisten("no thread for the server");
  pthread_detach(server);
}

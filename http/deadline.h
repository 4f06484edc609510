// Which HTTP connections to close, so that slow clients cannot hold the
// server: one whose request has not arrived in full by its deadline, and,
// when the server is full, the oldest one still waiting for a request. Pure:
// the server's thread tells it of accepts, requests, replies and closes by
// socket, and closes the sockets it names.
#ifndef KESTREL_HTTP_DEADLINE_H_
#define KESTREL_HTTP_DEADLINE_H_

#include <list>
#include <unordered_map>
#include <vector>

// Descriptors the daemon keeps for itself besides its nodes: pipes, files,
// the e-mail connection, libraries' own.
constexpr unsigned long HTTPRESERVEDFDS = 64;
// Fewest connections served however tight the budget.
constexpr unsigned int HTTPMINCONNECTIONS = 32;

// Connections the descriptor budget leaves for HTTP: `nofile` (the soft
// RLIMIT_NOFILE, at most `ceiling`) less HTTPRESERVEDFDS and one a node, but
// never fewer than HTTPMINCONNECTIONS.
unsigned int httpconnectionlimit(unsigned long nofile, unsigned long ceiling,
                                 int nodes);

class requestclock {
 public:
  requestclock(unsigned int most, double allowed)
      : limit(most), seconds(allowed) {}

  // A connection accepted at `now`. Past the limit, returns the socket of
  // the oldest connection waiting for a request (possibly this one) to be
  // closed; otherwise -1.
  int opened(int fd, double now);
  // Its request has arrived in full: no deadline while it is answered.
  void requested(int fd);
  // Its reply is done at `now`; the next request's deadline counts from here.
  void replied(int fd, double now);
  void closed(int fd);
  // The connections whose request is overdue at `now`, oldest first; each is
  // named once and counts as open until closed().
  std::vector<int> overdue(double now);
  // Seconds from `now` to the next deadline (0 when one has passed); -1 when
  // no connection waits for a request.
  double untilnext(double now) const;

  unsigned int limit;
  double seconds;
  unsigned int open = 0;

 private:
  class waiter {
   public:
    int fd;
    double since;
  };
  // Oldest first: each joins at the back with the latest time.
  std::list<waiter> waiting;
  std::unordered_map<int, std::list<waiter>::iterator> where;
};

#endif  // KESTREL_HTTP_DEADLINE_H_

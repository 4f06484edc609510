#include "http/deadline.h"

unsigned int httpconnectionlimit(unsigned long nofile, unsigned long ceiling,
                                 int nodes) {
  unsigned long budget = nofile < ceiling ? nofile : ceiling;
  unsigned long kept = HTTPRESERVEDFDS + static_cast<unsigned long>(nodes);
  if (budget <= kept + HTTPMINCONNECTIONS) return HTTPMINCONNECTIONS;
  return static_cast<unsigned int>(budget - kept);
}

int requestclock::opened(int fd, double now) {
  open++;
  where[fd] = waiting.insert(waiting.end(), {fd, now});
  if (open <= limit) return -1;
  int oldest = waiting.front().fd;
  where.erase(oldest);
  waiting.pop_front();
  return oldest;
}

void requestclock::requested(int fd) {
  auto it = where.find(fd);
  if (it == where.end()) return;
  waiting.erase(it->second);
  where.erase(it);
}

void requestclock::replied(int fd, double now) {
  // Only a connection whose request was answered waits anew: a connection
  // the library ends on its own must not gain time.
  if (where.count(fd)) return;
  where[fd] = waiting.insert(waiting.end(), {fd, now});
}

void requestclock::closed(int fd) {
  if (open > 0) open--;
  requested(fd);
}

std::vector<int> requestclock::overdue(double now) {
  std::vector<int> late;
  while (!waiting.empty() && waiting.front().since + seconds <= now) {
    late.push_back(waiting.front().fd);
    where.erase(waiting.front().fd);
    waiting.pop_front();
  }
  return late;
}

double requestclock::untilnext(double now) const {
  if (waiting.empty()) return -1;
  double left = waiting.front().since + seconds - now;
  return left > 0 ? left : 0;
}

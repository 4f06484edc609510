// Critical hardware events waiting for the alert e-mail: one line each,
// written into the e-mail once, in a section of their own. Bounded: beyond
// HARDWARELINES waiting lines the rest are only counted, and the section
// says how many the daemon's log holds besides.
#ifndef KESTREL_ALERTS_HARDWARE_H_
#define KESTREL_ALERTS_HARDWARE_H_

#include <stddef.h>

#include <deque>
#include <string>

constexpr size_t HARDWARELINES = 100;    // lines one e-mail carries at most
constexpr size_t HARDWARELINELEN = 255;  // characters kept of a line

class hardwarequeue {
 public:
  // Queues a line (its line feed, if any, is dropped; cut to
  // HARDWARELINELEN), or counts it when HARDWARELINES already wait.
  void add(const char* line);
  bool empty() const;
  // The section for the e-mail, and the queue empty again: a heading, the
  // lines in the order they came, a count of those left out, a blank line.
  std::string take();

 private:
  std::deque<std::string> lines;
  unsigned long dropped = 0;
};

#endif  // KESTREL_ALERTS_HARDWARE_H_

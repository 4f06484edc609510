// Critical hardware events waiting for the alert e-mail: one line each, in
// a section of their own. A line stays queued until an e-mail holding it was
// accepted by the server, so that a server that is down or refuses loses
// nothing. Bounded: beyond HARDWAREQUEUED waiting lines the oldest are
// dropped, and the next section says how many.
#ifndef KESTREL_ALERTS_HARDWARE_H_
#define KESTREL_ALERTS_HARDWARE_H_

#include <stddef.h>

#include <deque>
#include <string>

constexpr size_t HARDWARELINES = 100;    // lines one e-mail carries at most
constexpr size_t HARDWARELINELEN = 255;  // characters kept of a line
// Lines kept waiting at most: ten e-mails' worth, some 250 KiB.
constexpr size_t HARDWAREQUEUED = 1000;
static_assert(HARDWAREQUEUED > HARDWARELINES,
              "a full queue must hold lines that no e-mail carries yet");

class hardwarequeue {
 public:
  // Queues a line (its line feed, if any, is dropped; cut to
  // HARDWARELINELEN). When HARDWAREQUEUED wait, the oldest that no e-mail
  // carries yet is dropped and counted.
  void add(const char* line);
  // Nothing waits, and no e-mail carries anything of the queue.
  bool empty() const;
  // Something waits and no e-mail carries a section of the queue: take()
  // may run.
  bool ready() const;
  // The section for the e-mail: a heading, the count of lines dropped since
  // the last section that went out, the oldest HARDWARELINES lines in the
  // order they came, a count of those still waiting after them, a blank
  // line. The lines stay queued until settle().
  std::string take();
  // The e-mail holding the last section taken has ended: accepted by the
  // server, its lines and drop count are done with; otherwise they wait for
  // the next e-mail.
  void settle(bool accepted);

 private:
  std::deque<std::string> lines;     // oldest first
  size_t carried = 0;                // leading lines in the e-mail on its way
  bool inflight = false;             // take() ran, settle() has not
  unsigned long dropped = 0;         // not yet in an e-mail on its way
  unsigned long carrieddropped = 0;  // the e-mail on its way reports these
};

#endif  // KESTREL_ALERTS_HARDWARE_H_

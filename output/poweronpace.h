// The pace of power-ons: a burst asked for at once (Slurm resuming hundreds
// of nodes) goes out at a bounded rate, so that the power supplies of a
// whole cluster do not start together.
#ifndef KESTREL_OUTPUT_POWERONPACE_H_
#define KESTREL_OUTPUT_POWERONPACE_H_

#include <deque>
#include <string>
#include <vector>

// Power-ons waiting their turn: at most `rate` go out within any 1000 ms,
// in the order they were asked for. Pure: the caller gives the time.
class poweronpacer {
 public:
  // Puts a power-on of `name` at the end of the queue.
  void add(const std::string& name);
  // Removes every waiting power-on of `name`; how many there were.
  int drop(const std::string& name);
  // Takes the waiting power-ons, oldest first, that may go out at `nowms`
  // (milliseconds of a clock that never goes back) with `rate` (at least 1)
  // per 1000 ms, and counts them as gone out at `nowms`.
  std::vector<std::string> due(long long nowms, int rate);

  std::deque<std::string> waiting;  // oldest first
  std::deque<long long> sent;       // times of those gone out in the last 1000 ms
};

#endif  // KESTREL_OUTPUT_POWERONPACE_H_

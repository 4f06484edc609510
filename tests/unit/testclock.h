// Clocks for unit tests, installed through settestclock().
#ifndef KESTREL_TESTS_UNIT_TESTCLOCK_H_
#define KESTREL_TESTS_UNIT_TESTCLOCK_H_

#include <time.h>

#include <atomic>

namespace testclock {

// A clock that stands still until the test moves it.
inline std::atomic<time_t> fixed{1700000000};
inline time_t fixedclock() { return fixed.load(); }
inline void advance(time_t seconds) { fixed += seconds; }

// A clock that runs `speed` times faster than real time from `fixed`.
inline std::atomic<int> speed{1};
inline std::atomic<long long> realstartms{0};
inline long long realms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
inline time_t fastclock() {
  return fixed.load() + (realms() - realstartms.load()) * speed.load() / 1000;
}
inline void startfast(int factor) {
  speed = factor;
  realstartms = realms();
}

}  // namespace testclock

#endif  // KESTREL_TESTS_UNIT_TESTCLOCK_H_

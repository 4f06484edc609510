#include <time.h>

#include <atomic>

#include "model/globals.h"

namespace {
std::atomic<time_t (*)()> clocksource{nullptr};
// About 31 years: monotonic values look like, and compare like, the
// wall-clock values every interval was once measured in.
constexpr time_t MONOTONICBASE = 1000000000;
}  // namespace

time_t nowtime() {
  time_t (*source)() = clocksource.load();
  if (source) return source();
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return MONOTONICBASE + ts.tv_sec;
}

time_t walltime() {
  time_t (*source)() = clocksource.load();
  return source ? source() : time(nullptr);
}

void settestclock(time_t (*source)()) { clocksource.store(source); }

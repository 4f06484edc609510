#include <atomic>

#include "model/globals.h"

namespace {
std::atomic<time_t (*)()> clocksource{nullptr};
}

time_t nowtime() {
  time_t (*source)() = clocksource.load();
  return source ? source() : time(nullptr);
}

time_t monotime() {
  time_t (*source)() = clocksource.load();
  if (source) return source();
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

void settestclock(time_t (*source)()) { clocksource.store(source); }

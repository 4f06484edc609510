#include <atomic>

#include "model/globals.h"

namespace {
std::atomic<time_t (*)()> clocksource{nullptr};
}

time_t nowtime() {
  time_t (*source)() = clocksource.load();
  return source ? source() : time(nullptr);
}

void settestclock(time_t (*source)()) { clocksource.store(source); }

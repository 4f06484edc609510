#include "output/valuetext.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>

int truncint(double value) {
  // A cast of a value outside int's range is undefined: saturate instead.
  if (isnan(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

int hundredths(double value) { return truncint(value * 100.0); }

void appendint(std::string& out, int value) {
  char buf[16];
  snprintf(buf, sizeof buf, " %i", value);
  out += buf;
}

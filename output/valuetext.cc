#include "output/valuetext.h"

#include <limits.h>
#include <math.h>

#include <charconv>

int truncint(double value) {
  // A cast of a value outside int's range is undefined: saturate instead.
  // An infinity is no reading, not a large one.
  if (!isfinite(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

int hundredths(double value) { return truncint(value * 100.0); }

void appendint(std::string& out, int value) {
  // Same text as " %i"; to_chars avoids snprintf's format parsing, which
  // dominated the time of a large snapshot.
  char buf[16];
  buf[0] = ' ';
  char* end = std::to_chars(buf + 1, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

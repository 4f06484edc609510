// Values leave the daemon as integers truncated toward zero; temperatures
// and voltages in hundredths.
#ifndef KESTREL_OUTPUT_VALUETEXT_H_
#define KESTREL_OUTPUT_VALUETEXT_H_

#include <string>

// The value truncated toward zero; NaN and infinities give 0, finite values
// beyond int saturate.
int truncint(double value);
// value × 100 in double precision, truncated toward zero.
int hundredths(double value);
// Appends " %i" with the value.
void appendint(std::string& out, int value);

#endif  // KESTREL_OUTPUT_VALUETEXT_H_

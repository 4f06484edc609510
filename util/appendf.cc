#include "util/appendf.h"

#include <stdarg.h>
#include <stdio.h>

void appendf(char* out, size_t outlen, size_t* pos, const char* fmt, ...) {
  if (outlen == 0 || *pos + 1 >= outlen) return;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out + *pos, outlen - *pos, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  *pos += static_cast<size_t>(n);
  if (*pos >= outlen) *pos = outlen - 1;
}

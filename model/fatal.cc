// The end of the process on a fatal error.
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include "model/globals.h"

void fatalexit(int status) {
  if (fatalexithook) fatalexithook(status);
  fflush(stdout);
  fflush(stderr);
  if (fatalcleanuphook) fatalcleanuphook();
  _exit(status);
}

void fatalf(int status, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fatalexit(status);
}

#include "config/configerror.h"

#include <stdarg.h>
#include <stdio.h>

#include "model/globals.h"

bool configfail(configerror* err, int status, const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  err->status = status;
  err->text = text;
  return false;
}

void configfatal(const configerror& err) {
  fatalf(err.status, "%s", err.text.c_str());
}

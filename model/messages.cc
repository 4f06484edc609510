#include <stdio.h>
#include <syslog.h>

#include "model/globals.h"


// The log is never opened explicitly, so the identity is the program name.
void error_msg(const char* text) {
  if (nodaemon) {
    fputs(text, stderr);
    fflush(stderr);
  }
  if (tosyslog) syslog(LOG_DAEMON | LOG_ERR, "%s\n", text);
}

void info_msg(const char* text) {
  if (nodaemon) fputs(text, stderr);
  if (tosyslog) syslog(LOG_DAEMON | LOG_INFO, "%s\n", text);
}

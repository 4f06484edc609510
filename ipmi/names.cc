// Splitting OpenIPMI's full object names. Every object of a domain is named
// after the domain, and the domain after its node: 'node17(7.1).CPU Temp' is
// sensor 'CPU Temp' of node 'node17', and 'node17(0.20)' is its BMC.
#include <ctype.h>
#include <string.h>

#include "ipmi/openipmi.h"

bool sensor_nodenameonly(char* nodename, const char* fullname) {
  size_t i = 0;
  while (fullname[i] && fullname[i] != '(') {
    nodename[i] = fullname[i];
    i++;
  }
  nodename[i] = '\0';
  return fullname[i] == '(';
}

bool sensor_nameonly(char* sensorname, char* fullname) {
  char* p = strchr(fullname, ')');
  if (!p) return false;
  // Skip the parenthesis and the full stop after it.
  if (p[1] == '\0' || p[2] == '\0') return false;
  p += 2;
  while (*p && isspace(static_cast<unsigned char>(*p))) p++;
  if (*p == '\0') {
    sensorname[0] = '\0';
    return true;
  }
  char* end = p + strlen(p);
  while (end > p && isspace(static_cast<unsigned char>(end[-1]))) end--;
  *end = '\0';
  strcpy(sensorname, p);
  return true;
}

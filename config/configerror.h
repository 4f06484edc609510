// How the configuration readers report a refused file: they return false
// and fill a configerror, and start-up (or a check of the files) decides
// what to do with it. No reader ends the process itself.
#ifndef KESTREL_CONFIG_CONFIGERROR_H_
#define KESTREL_CONFIG_CONFIGERROR_H_

#include <string>

class configerror {
 public:
  int status = 0;    // the exit status start-up ends with (1, or 4)
  std::string text;  // the message as printed on stderr, newlines included
};

// Fills *err from the format; always false, for `return configfail(...)`.
bool configfail(configerror* err, int status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Prints the error and ends the process with its status, as start-up does
// with every configuration error.
[[noreturn]] void configfatal(const configerror& err);

#endif  // KESTREL_CONFIG_CONFIGERROR_H_

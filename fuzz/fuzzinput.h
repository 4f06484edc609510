// What every fuzz target shares: a configuration error ends one run, not the
// process, and input reaches the file readers through a memory file.
#ifndef KESTREL_FUZZ_FUZZINPUT_H_
#define KESTREL_FUZZ_FUZZINPUT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

// Thrown by the fatal-exit hook: the configuration was refused.
struct refused {
  int status;
};

// Installs the hook that throws `refused` and sends the daemon's messages on
// stderr to /dev/null, so that refused inputs do not slow the run down.
void fuzzsetup();

// A path from which the file readers read exactly `data`.
const char* asfile(const uint8_t* data, size_t size);

#endif  // KESTREL_FUZZ_FUZZINPUT_H_

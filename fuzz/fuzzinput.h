// What every fuzz target shares: a configuration error ends one run, not the
// process, and input reaches the file readers as an open file.
#ifndef KESTREL_FUZZ_FUZZINPUT_H_
#define KESTREL_FUZZ_FUZZINPUT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>

// Thrown by the fatal-exit hook: the configuration was refused.
struct refused {
  int status;
};

// Installs the hook that throws `refused` and sends the daemon's messages on
// stderr to /dev/null, so that refused inputs do not slow the run down.
void fuzzsetup();

// A file that reads exactly `data`, closed when it goes out of scope.
struct memclose {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
typedef std::unique_ptr<FILE, memclose> memfile;
memfile asfile(const uint8_t* data, size_t size);

#endif  // KESTREL_FUZZ_FUZZINPUT_H_

#include "fuzz/fuzzinput.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/globals.h"

namespace {

[[noreturn]] void throwrefused(int status) { throw refused{status}; }

int memoryfile = -1;
char memorypath[64];

}  // namespace

void fuzzsetup() {
  fatalexithook = throwrefused;
  // Only the daemon's own messages go through stdio; the fuzzer and the
  // sanitizers write to descriptor 2 directly and keep it.
  if (FILE* devnull = fopen("/dev/null", "w")) stderr = devnull;
  memoryfile = memfd_create("fuzzinput", 0);
  // As a cluster file should be: no warning about its mode at every run.
  if (memoryfile >= 0) fchmod(memoryfile, 0600);
  snprintf(memorypath, sizeof memorypath, "/proc/self/fd/%d", memoryfile);
}

const char* asfile(const uint8_t* data, size_t size) {
  if (ftruncate(memoryfile, 0) != 0) return "/nonexistent";
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(memoryfile, data + done, size - done, done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return memorypath;
}

#include "fuzz/fuzzinput.h"

#include "model/globals.h"

namespace {

[[noreturn]] void throwrefused(int status) { throw refused{status}; }

}  // namespace

void fuzzsetup() {
  fatalexithook = throwrefused;
  // Only the daemon's own messages go through stdio; the fuzzer and the
  // sanitizers write to descriptor 2 directly and keep it.
  if (FILE* devnull = fopen("/dev/null", "w")) stderr = devnull;
}

memfile asfile(const uint8_t* data, size_t size) {
  // fmemopen refuses an empty buffer: an empty file reads as one.
  static const char none[1] = {0};
  if (size == 0) return memfile(fmemopen(const_cast<char*>(none), 1, "r"));
  return memfile(fmemopen(const_cast<uint8_t*>(data), size, "r"));
}

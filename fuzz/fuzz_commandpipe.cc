// The command pipe's line splitting and matching, on any stream cut into
// reads at points the input chooses.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/fuzzinput.h"
#include "output/commandpipe.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the size of the reads.
  size_t piece = 1 + data[0] % 64;
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t len = size - 1;
  std::string partial;
  size_t lines = 0;
  auto online = [&lines](const char* line) {
    commandmatch m = matchcommand(line);
    // The name lies within the line.
    if (m.name && strlen(m.name) > strlen(line)) __builtin_trap();
    lines++;
  };
  auto toolong = [] {};
  for (size_t at = 0; at < len; at += piece) {
    size_t n = len - at < piece ? len - at : piece;
    splitcommandlines(partial, text + at, n, online, toolong);
    if (partial.size() > MAXCOMMANDLINE) __builtin_trap();
  }
  return 0;
}

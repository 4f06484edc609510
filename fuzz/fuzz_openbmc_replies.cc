// The OpenBMC reply scanners on any piece of a reply; they must stay within
// the bytes given, which are not NUL-terminated.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzzinput.h"
#include "openbmc/replies.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that a read past the end is caught.
  char* piece = static_cast<char*>(malloc(size ? size : 1));
  memcpy(piece, data, size);
  double reading = 0;
  loginreply(piece, size);
  powerstatereply(piece, size);
  sensorreply(piece, size, &reading);
  // The login body escapes whatever the configuration holds.
  char text[128];
  size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
  memcpy(text, data, n);
  text[n] = '\0';
  char body[256];
  formatloginbody(body, sizeof body, text, text);
  if (strnlen(body, sizeof body) == sizeof body) __builtin_trap();
  free(piece);
  return 0;
}

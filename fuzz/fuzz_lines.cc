// The line and field splitters shared by both configuration files, and the
// splitters of sensor and node lines, on any text.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "config/chassisfile.h"
#include "config/clusterfile.h"
#include "config/linescan.h"
#include "fuzz/fuzzinput.h"
#include "model/defines.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The readers hand over lines of at most LINELEN - 1 bytes, NUL-terminated.
  std::string line(reinterpret_cast<const char*>(data),
                   size < LINELEN - 1 ? size : LINELEN - 1);
  std::string fields[6];
  splitfields(line.c_str(), 6, MAXFIELD, fields);
  afterkeyword(line.c_str(), "$NODE");
  tarnsensor s;
  parsesensor(&s, &line[0]);
  char name[FIELDLEN], type[FIELDLEN], user[FIELDLEN], pass[FIELDLEN];
  char setting[512];
  configerror err;
  parsenode(name, type, user, pass, &line[0], &err);
  parseemail(setting, &line[0], &err);
  return 0;
}

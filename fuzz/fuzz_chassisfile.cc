// The chassis file reader and its check, on any bytes.
#include <stddef.h>
#include <stdint.h>

#include "config/chassisfile.h"
#include "config/linescan.h"
#include "fuzz/fuzzinput.h"
#include "model/datastructs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memfile f = asfile(data, size);
  configerror err;
  if (f && readchassisfile(f.get(), &mycluster, &err))
    validatechassis(&mycluster, &err);
  releasekept(0);
  return 0;
}

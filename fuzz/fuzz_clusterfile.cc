// The cluster file reader on any bytes, after a fixed chassis file. Nodes get
// no transport: no connection is ever attempted.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "config/chassisfile.h"
#include "config/clusterfile.h"
#include "config/linescan.h"
#include "fuzz/fuzzinput.h"
#include "http/server.h"
#include "model/datastructs.h"
#include "model/transport.h"

namespace {

const char CHASSIS[] =
    "$CHASSISTYPE compute\n$$FANCOUNT 1\n$$TEMPCOUNT 1\n"
    "$$FAN1 Fan1 FAN1 500 1000 20000 25000\n$$TEMP1 CPU \"CPU Temp\" 0 5 80 90\n"
    "\n$CHASSISTYPE openbmc\n$$OPENBMC\n$$FANCOUNT 1\n"
    "$$FAN1 Fan0 fan_tach/fan0 300 600 20000 25000\n\n";

transport* nolink(node*, time_t) { return nullptr; }

size_t chassisblocks = 0;  // kept by the chassis file, for every run

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup();
  attachtransport = nolink;
  // As the daemon has it, so that $HTTP_LISTEN addresses are checked too.
  httplistenhook = sethttplisten;
  memfile f =
      asfile(reinterpret_cast<const uint8_t*>(CHASSIS), strlen(CHASSIS));
  configerror err;
  readchassisfile(f.get(), &mycluster, &err);
  chassisblocks = keptcount();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    memfile f = asfile(data, size);
    configerror err;
    // A bad $HTTP_LISTEN address still ends the process where it is read.
    if (f) readclusterfile(f.get(), &mycluster, &err);
  } catch (const refused&) {
  }
  // Settings are only ever switched on: start each run afresh.
  mycluster.processalerts = mycluster.processshutdowns = false;
  releasekept(chassisblocks);
  return 0;
}

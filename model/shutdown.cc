// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
void node::shutdown() {}
bool cluster::poweroffnode(const char*) { return false; }
void cluster::queuepoweroff(const char*) {}
void cluster::runqueuedpoweroffs() {}

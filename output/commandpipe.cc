// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
void cluster::setupcommandfifo(char*) { commandfifo = -1; }
void cluster::processcommandfifo() {}

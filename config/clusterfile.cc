// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
void cluster::parsecluster(char*) { numnodes = 0; }
void cluster::setupemail() {}

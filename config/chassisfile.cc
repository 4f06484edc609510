// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
void cluster::parsechassis(char*) { numchassis = 0; }
void cluster::validatechassis() {}

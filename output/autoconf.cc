// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
void cluster::outputautoconf() {}

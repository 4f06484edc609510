// PLACEHOLDER: replaced when this subsystem lands.
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
void cluster::getdata() {}
bool node::getdata() { return false; }
bool node::reportsensor(const char*, double) { return true; }

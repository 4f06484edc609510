// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
bool node::curlInit() { return false; }
bool node::curlAddTask(int) { return true; }
int node::curlNext() { return NONE; }

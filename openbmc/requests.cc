// PLACEHOLDER: replaced when this subsystem lands.
#include "model/datastructs.h"
void* node::curlLogin(void*) { return nullptr; }

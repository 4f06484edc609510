// The model singletons, defined in one place so that they are constructed
// in this order: the chassis table, the alert list, the cluster.
#include "alerts/alerts.h"
#include "model/datastructs.h"

chassis mychassis[MAXCHASSIS];
alerts pendingalerts;
cluster mycluster;

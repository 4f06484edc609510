// The process's one set of event counters; see model/counters.h for who
// writes and who reads each.
#include "model/counters.h"

eventcounters counters;

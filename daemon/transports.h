// Transport records by chassis kind.
#ifndef KESTREL_DAEMON_TRANSPORTS_H_
#define KESTREL_DAEMON_TRANSPORTS_H_

#include <time.h>

class node;
class transport;

// Makes the record of the node's chassis transport and brings its
// connection up; installed as attachtransport at start-up.
transport* newtransport(node* n, time_t readingtime);

#endif  // KESTREL_DAEMON_TRANSPORTS_H_

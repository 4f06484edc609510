// Transport records by chassis kind.
#ifndef KESTREL_DAEMON_TRANSPORTS_H_
#define KESTREL_DAEMON_TRANSPORTS_H_

#include <time.h>

class chassis;
class node;
class transport;

// Makes the record of the node's chassis transport and brings its
// connection up; installed as attachtransport at start-up.
transport* newtransport(node* n, time_t readingtime);
// Starts what a node's transport can prepare ahead; installed as
// foreseetransport at start-up.
void foreseenode(const char* nodename, const chassis* c, const char* username);

#endif  // KESTREL_DAEMON_TRANSPORTS_H_

// The configuration summary autonodeconf.dat, written once at start.
#ifndef KESTREL_OUTPUT_AUTOCONF_H_
#define KESTREL_OUTPUT_AUTOCONF_H_

#include <string>

class node;

// Appends the summary block of node n (position index + 1 in the table).
void formatautoconfblock(node* n, int index, std::string& out);

#endif  // KESTREL_OUTPUT_AUTOCONF_H_

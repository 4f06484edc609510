// The configuration summary autonodeconf.dat, written once at start.
#ifndef KESTREL_OUTPUT_AUTOCONF_H_
#define KESTREL_OUTPUT_AUTOCONF_H_

#include <string>

class cluster;
class node;

// Writes autonodeconf.dat whole, for the web server's group to read; any
// failure ends the process.
void writeautoconf(cluster* cl);

// Appends the summary block of node n (position index + 1 in the table).
void formatautoconfblock(node* n, int index, std::string& out);

#endif  // KESTREL_OUTPUT_AUTOCONF_H_

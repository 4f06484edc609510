// The model's globals, in the order in which they are constructed: settings,
// hooks, the chassis table, the cluster. Each says who writes it and when.
// The layers above define their own (the alert list in alerts/, the OpenIPMI
// handler in ipmi/, the hooks of config/ and output/ in those folders); no
// constructor of any of them reads another global, so the order between the
// folders does not matter.
#include "model/globals.h"

#include "model/datastructs.h"
#include "model/transport.h"

// Set by main() from the command line before any thread starts; read-only
// after.
int nodaemon = 0;
bool tosyslog = true;
char datadir[DATADIRLEN];
char chassisfile[PATHLEN];
char clusterfile[PATHLEN];
char nodewatchdat[PATHLEN];
char autonodeconfdat[PATHLEN];
char nodecommandsdat[PATHLEN];
// Fixed for the daemon; unit tests point it at a stand-in before they start
// a shutdown.
const char* sshpath = "/usr/bin/ssh";

// Installed by the daemon's start-up before the configuration is read and
// before any thread starts; read-only after.
alerthooks alerthook = {nullptr, nullptr, nullptr, nullptr};
drainhooks drainhook = {nullptr, nullptr};
transport* (*attachtransport)(node* n, time_t readingtime) = nullptr;
void (*foreseetransport)(const char* nodename, const chassis* c,
                         const char* username) = nullptr;
void (*fatalcleanuphook)() = nullptr;
void (*fatalexithook)(int status) = nullptr;

// Raised by the SIGHUP handler; read by every BMC link.
std::atomic<unsigned> loginretries{0};

// Their tables are filled while the configuration is read; each field notes
// who touches it after.
chassis mychassis[MAXCHASSIS];
cluster mycluster;

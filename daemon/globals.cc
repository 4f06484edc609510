// Every global of the process, in one place and in the order in which they
// are constructed: settings, hooks, the chassis table, the alert list, the
// cluster. Each says who writes it and when.
#include <OpenIPMI/os_handler.h>
#include <pthread.h>

#include "alerts/alerts.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "model/transport.h"

// Set by main() from the command line before any thread starts; read-only
// after.
int nodaemon = 0;
char datadir[DATADIRLEN];
char chassisfile[PATHLEN];
char clusterfile[PATHLEN];
char nodewatchdat[PATHLEN];
char autonodeconfdat[PATHLEN];
char nodecommandsdat[PATHLEN];
bool debugipmilog = false;
// Fixed for the daemon; unit tests point it at a stand-in before they start
// a shutdown.
const char* sshpath = "/usr/bin/ssh";

// Installed by the daemon's start-up before the configuration is read and
// before any thread starts; read-only after.
alerthooks alerthook = {nullptr, nullptr, nullptr, nullptr};
transport* (*attachtransport)(node* n, time_t readingtime) = nullptr;
void (*foreseetransport)(const char* nodename, const chassis* c,
                         const char* username) = nullptr;
void (*fatalexithook)(int status) = nullptr;

// Raised by the SIGHUP handler; read by every BMC link.
std::atomic<unsigned> loginretries{0};

// The OpenIPMI OS handler: set up at start, then the main thread's alone.
os_handler_t* os_hnd = nullptr;
bool domainisup = false;  // main thread only

// The model and the alert list: their tables are filled while the
// configuration is read; each field notes who touches it after.
chassis mychassis[MAXCHASSIS];
flaglock alertlock;
time_t globalreporttime = 0;  // main thread only
alerts pendingalerts;
cluster mycluster;

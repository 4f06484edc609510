// The cluster definition file: the nodes and the cluster-wide settings.
#ifndef KESTREL_CONFIG_CLUSTERFILE_H_
#define KESTREL_CONFIG_CLUSTERFILE_H_

#include <stdio.h>

class cluster;

// Reads the cluster file at `path` into cl: the settings and the nodes, each
// node attached to its transport as its line is read (attachtransport).
// Errors end the process with a message: status 1, 4 for an unknown
// web-server group.
void parsecluster(const char* path, cluster* cl);
// parsecluster once the file is open.
void readclusterfile(FILE* f, cluster* cl);

// Takes the address of a $HTTP_LISTEN line (its first field) where it is
// read, so that a bad address ends the process before any later line is
// acted on. The HTTP server sits above config/: the daemon installs this
// before the file is read. Unset, the line is ignored.
extern void (*httplistenhook)(const char* address);

// Alerts are mailed: every one of the three e-mail settings must have been
// read. Says each one missing, then ends the process with status 1.
void checkemailsettings(const cluster* cl);

// Splits the text after "$NODE" into its four fields (50 bytes each) and
// checks them; returns 1 or ends the process.
int parsenode(char* nodename, char* chassisname, char* username, char* password,
              char* origline);

// Reads the first field of the text into setting (512 bytes); returns 1 or
// ends the process when the value is longer than 119 characters.
int parseemail(char* setting, char* origline);

#endif  // KESTREL_CONFIG_CLUSTERFILE_H_

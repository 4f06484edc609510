// The cluster definition file: the nodes and the cluster-wide settings.
#ifndef KESTREL_CONFIG_CLUSTERFILE_H_
#define KESTREL_CONFIG_CLUSTERFILE_H_

#include <stdio.h>

#include "config/configerror.h"

class cluster;

// Reads the cluster file at `path` into cl: the settings and the nodes, each
// node attached to its transport as its line is read (attachtransport).
// False at the first error, said in *err: status 1, 4 for an unknown
// web-server group. (A node's connection that cannot be set up, and a bad
// $HTTP_LISTEN address, still end the process where they are met.)
bool parsecluster(const char* path, cluster* cl, configerror* err);
// parsecluster once the file is open.
bool readclusterfile(FILE* f, cluster* cl, configerror* err);

// Takes the address of a $HTTP_LISTEN line (its first field) where it is
// read, so that a bad address ends the process before any later line is
// acted on. The HTTP server sits above config/: the daemon installs this
// before the file is read. Unset, the line is ignored.
extern void (*httplistenhook)(const char* address);

// Alerts are mailed: every one of the three e-mail settings must have been
// read. Says each one missing (error_msg), then false with status 1 and an
// empty text.
bool checkemailsettings(const cluster* cl, configerror* err);

// Splits the text after "$NODE" into its four fields (50 bytes each) and
// checks them; false with *err when they do not do.
bool parsenode(char* nodename, char* chassisname, char* username,
               char* password, char* origline, configerror* err);

// Reads the first field of the text into setting (512 bytes); false with
// *err when the value is longer than 119 characters.
bool parseemail(char* setting, char* origline, configerror* err);

#endif  // KESTREL_CONFIG_CLUSTERFILE_H_

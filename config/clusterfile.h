// The cluster definition file: the nodes and the cluster-wide settings.
#ifndef KESTREL_CONFIG_CLUSTERFILE_H_
#define KESTREL_CONFIG_CLUSTERFILE_H_

// Splits the text after "$NODE" into its four fields (50 bytes each) and
// checks them; returns 1 or ends the process.
int parsenode(char* nodename, char* chassisname, char* username, char* password,
              char* origline);

// Reads the first field of the text into setting (512 bytes); returns 1 or
// ends the process when the value is longer than 119 characters.
int parseemail(char* setting, char* origline);

#endif  // KESTREL_CONFIG_CLUSTERFILE_H_

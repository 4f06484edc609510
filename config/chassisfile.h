// The chassis definition file: sensor names, labels and limits per chassis.
#ifndef KESTREL_CONFIG_CHASSISFILE_H_
#define KESTREL_CONFIG_CHASSISFILE_H_

#include <stdio.h>

#include "config/configerror.h"
#include "model/defines.h"

class chassis;
class cluster;

// Reads the chassis file at `path` into the chassis table, counted in
// cl->numchassis. False at the first error, said in *err (status 1).
bool parsechassis(const char* path, cluster* cl, configerror* err);
// parsechassis once the file is open.
bool readchassisfile(FILE* f, cluster* cl, configerror* err);
// Every sensor a chassis counts must be defined; false otherwise.
bool validatechassis(const cluster* cl, configerror* err);

// One sensor line, split into its six fields.
typedef struct _tarnsensor {
  char shortname[NAMELEN];
  char name[NAMELEN];
  double critlow;
  double alertlow;
  double alerthigh;
  double crithigh;
} tarnsensor;

// Splits the text after a sensor keyword and its index into the record.
// Returns 1, or 0 when a field exceeds 119 characters or a name 95.
int parsesensor(tarnsensor* thissensor, char* origline);

// Puts a chassis record back into its freshly constructed state.
void resetchassis(chassis* c);

#endif  // KESTREL_CONFIG_CHASSISFILE_H_

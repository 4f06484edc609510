// The chassis definition file: sensor names, labels and limits per chassis.
#ifndef KESTREL_CONFIG_CHASSISFILE_H_
#define KESTREL_CONFIG_CHASSISFILE_H_

#include "model/defines.h"

class chassis;

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

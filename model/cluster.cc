// Lookups by name.
#include <string.h>

#include "model/datastructs.h"

cluster::cluster()
    : emailto(),
      emailfrom(),
      emailserver(),
      processalerts(false),
      processshutdowns(false),
      apachegid(0),
      slurmdrain(false),
      slurmscontrol("/usr/bin/scontrol"),
      slurmresumeafter(600) {}

node* cluster::findnode(const char* name) {
  for (int i = 0; i < numnodes; i++)
    if (mynodes[i].name && strcmp(mynodes[i].name, name) == 0)
      return &mynodes[i];
  return nullptr;
}

chassis* cluster::findchassis(const char* name) {
  for (int i = 0; i < numchassis; i++)
    if (strcmp(mychassis[i].name, name) == 0) return &mychassis[i];
  return nullptr;
}

int cluster::getnumnodes() { return numnodes; }

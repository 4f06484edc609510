// Lookups by name and the delegators that the transports' callbacks use.
#include <string.h>

#include "model/datastructs.h"

cluster::cluster()
    : emailto(),
      emailfrom(),
      emailserver(),
      processalerts(false),
      processshutdowns(false),
      apachegid(0) {}

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

void cluster::setnodealive(const char* name) {
  if (node* n = findnode(name)) n->setalive();
}

void cluster::initfirsttime(const char* name) {
  if (node* n = findnode(name)) n->initfirsttime();
}

bool cluster::setdead(const char* name) {
  node* n = findnode(name);
  if (!n) return false;
  n->setdead();
  return true;
}

bool cluster::reportsensor(const char* name, const char* sensor,
                           double value) {
  node* n = findnode(name);
  return n ? n->reportsensor(sensor, value) : false;
}

bool cluster::zerosensors(const char* name) {
  node* n = findnode(name);
  return n ? n->zerosensors() : false;
}

bool cluster::reportdomain(const char* name, int err) {
  node* n = findnode(name);
  return n ? n->reportdomain(err) : false;
}

// Power commands by node name; the node's transport carries them out.
#include <stdio.h>

#include "model/datastructs.h"
#include "model/globals.h"

bool cluster::command(const char* nodename, int code) {
  node* n = findnode(nodename);
  if (!n) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg,
             "Unable to locate node %s to issue command code %i.", nodename,
             code);
    error_msg(msg);
    return true;  // said already: no second message
  }
  return n->command(code);
}

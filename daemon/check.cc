// kestrel --check. The files go through start-up's own reading; only the
// hooks differ: a node is checked where start-up would connect it, and an
// $HTTP_LISTEN address is parsed where start-up would keep it for binding.
#include "daemon/check.h"

#include <grp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "config/clusterfile.h"
#include "config/filemode.h"
#include "config/tls.h"
#include "daemon/mainloop.h"
#include "http/server.h"
#include "ipmi/lookup.h"
#include "ipmi/openipmi.h"
#include "model/transport.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

std::string httplisten;  // the address of the last $HTTP_LISTEN line

void appendf(std::string& out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  out += text;
}

std::string bmchost(const char* nodename) {
  return std::string(nodename) + "-ipmi";
}

// Every BMC name is looked up at once, as start-up does for IPMI nodes, so
// that a slow name server holds the check up once, not once per node.
void foreselookup(const char* nodename, const chassis* c,
                  const char* username) {
  if (c->transportkind == TRANSPORT_IPMI)
    ipmi_foresee(nodename, username);
  else
    startlookup(bmchost(nodename));
}

// Where start-up would connect the node. An IPMI node whose connection
// could not be set up ends the check as it ends start-up; an HTTPS BMC
// that does not resolve only leaves its node dead, so it is a warning.
transport* checknode(node* n, time_t) {
  if (n->thischassis->transportkind == TRANSPORT_IPMI) {
    ipmi_check(n);
    return nullptr;
  }
  std::string address;
  if (!lookedup(bmchost(n->name), &address)) {
    std::string msg;
    appendf(msg,
            "Warning: %s, the BMC of %s, does not resolve: the node will be "
            "dead until it does\n",
            bmchost(n->name).c_str(), n->name);
    error_msg(msg.c_str());
  }
  return nullptr;
}

void checkhttplisten(const char* address) {
  sethttplisten(address);  // a bad address ends the check as it ends start-up
  httplisten = address;
}

bool islocal(const node* n) { return strcmp(n->username, "SMI") == 0; }

}  // namespace

std::string checksummary(cluster* cl, const checksettings& s) {
  std::string out;
  appendf(out, "kestrel would start with the files in %s.\n",
          s.datadir.c_str());
  int width = 7;
  for (int c = 0; c < cl->numchassis; c++)
    width = std::max(width, static_cast<int>(strlen(mychassis[c].name)));
  appendf(out, "%-*s  %-9s %5s %5s %5s %5s  nodes\n", width, "chassis",
          "transport", "fans", "temps", "volts", "discs");
  // Nodes by transport: IPMI over the LAN, IPMI local, OpenBMC, Redfish.
  int bytransport[4] = {0, 0, 0, 0};
  for (int c = 0; c < cl->numchassis; c++) {
    chassis* ch = &mychassis[c];
    int nodes = 0, local = 0;
    for (int i = 0; i < cl->numnodes; i++) {
      node* n = &cl->mynodes[i];
      if (n->thischassis != ch) continue;
      nodes++;
      if (ch->transportkind == TRANSPORT_IPMI && islocal(n)) local++;
    }
    if (ch->transportkind == TRANSPORT_IPMI) {
      bytransport[0] += nodes - local;
      bytransport[1] += local;
    } else {
      bytransport[ch->transportkind == TRANSPORT_OPENBMC ? 2 : 3] += nodes;
    }
    appendf(out, "%-*s  %-9s %5d %5d %5d %5d  %d", width, ch->name,
            transportname(ch->transportkind), ch->numfans, ch->numtemps,
            ch->numvolts, ch->numdiscs, nodes);
    if (local) appendf(out, " (%d local)", local);
    out += "\n";
  }
  static const char* const transports[4] = {
      "IPMI over the LAN", "IPMI local interface", "OpenBMC", "Redfish"};
  appendf(out, "nodes: %d", cl->numnodes);
  const char* sep = " (";
  for (int t = 0; t < 4; t++) {
    if (!bytransport[t]) continue;
    appendf(out, "%s%s %d", sep, transports[t], bytransport[t]);
    sep = ", ";
  }
  out += cl->numnodes ? ")\n" : "\n";
  if (cl->processalerts)
    appendf(out, "alerts: on, e-mail to %s from %s through %s\n", cl->emailto,
            cl->emailfrom, cl->emailserver);
  else
    out += "alerts: off (no limit is compared, no e-mail sent)\n";
  appendf(out, "automatic shutdowns: %s\n", cl->processshutdowns ? "on" : "off");
  appendf(out, "power-ons: at most %d a second\n", cl->poweronrate);
  if (!cl->slurmdrain)
    out += "Slurm drain: off\n";
  else if (cl->slurmresumeafter > 0)
    appendf(out, "Slurm drain: on, through %s; resumed after %ld s healthy\n",
            cl->slurmscontrol, static_cast<long>(cl->slurmresumeafter));
  else
    appendf(out, "Slurm drain: on, through %s; never resumed\n",
            cl->slurmscontrol);
  appendf(out, "group of autonodeconf.dat: %s (%ld)\n", s.group.c_str(),
          static_cast<long>(cl->apachegid));
  if (s.tlsca.empty())
    out += "BMC certificates: not checked\n";
  else
    appendf(out, "BMC certificates: checked against %s\n", s.tlsca.c_str());
  if (s.httplisten.empty())
    out += "HTTP: off\n";
  else
    appendf(out, "HTTP: on %s\n", s.httplisten.c_str());
  return out;
}

void checkconfiguration(cluster* cl) {
  // The operator's messages, on the terminal; the daemon's log is not the
  // place of a check.
  nodaemon = 1;
  tosyslog = false;
  warnifdirwritable(datadir);
  foreseetransport = foreselookup;
  attachtransport = checknode;
  httplistenhook = checkhttplisten;
  readconfiguration(cl, chassisfile, clusterfile);
  if (cl->processalerts) refusemissingemail(cl);
  // Start-up would fail at the summary file, the first file it writes.
  if (access(datadir, W_OK | X_OK) != 0) {
    fprintf(stderr, "Could not open %s for writing.\n", autonodeconfdat);
    fatalexit(1);
  }
  checksettings s;
  s.datadir = datadir;
  struct group* g = getgrgid(cl->apachegid);
  s.group = g ? g->gr_name : "?";
  s.tlsca = tlscafile();
  s.httplisten = httplisten;
  fputs(checksummary(cl, s).c_str(), stdout);
  fatalexit(0);
}

// Reads cluster.dat: settings and nodes. Every node's connection is brought
// up as its line is read. Errors are fatal (stderr, status 1; 4 for an
// unknown web-server group) unless noted.
#include "config/clusterfile.h"

#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "config/filemode.h"
#include "config/linescan.h"
#include "config/tls.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

constexpr int SETTINGLEN = 512;

void addnode(cluster* cl, char* line, time_t readingtime) {
  char nodename[FIELDLEN], chassisname[FIELDLEN], username[FIELDLEN],
      password[FIELDLEN];
  if (cl->numnodes >= MAXNODES)
    fatalf(1,
                "Maximum node count of %d exceeded in cluster.dat:\n%s\n"
                "Exiting now.\n",
                MAXNODES, line);
  parsenode(nodename, chassisname, username, password,
            const_cast<char*>(afterkeyword(line, "$NODE")));
  node* n = &cl->mynodes[cl->numnodes++];
  n->thischassis = cl->findchassis(chassisname);
  if (!n->thischassis)
    fatalf(1, "Unable to locate chassis %s for node %s\nExiting now.\n",
                chassisname, nodename);
  n->name = keepstring(nodename, strlen(nodename) + 1);
  n->username = keepstring(username, strlen(username) + 1);
  n->password = keepstring(password, strlen(password) + 1);
  // The connection comes up as its line is read.
  n->link = attachtransport ? attachtransport(n, readingtime) : nullptr;
}

// Tells the transports of every node ahead of the reading proper. A line
// that does not parse is left for the reading to refuse.
void foreseenodes(cluster* cl, FILE* f) {
  char line[LINELEN];
  while (readconfigline(f, line)) {
    const char* rest = afterkeyword(line, "$NODE");
    std::string fields[4];
    if (!rest || !splitfields(rest, 4, FIELDLEN - 1, fields)) continue;
    const chassis* c = cl->findchassis(fields[1].c_str());
    if (c) foreseetransport(fields[0].c_str(), c, fields[2].c_str());
  }
  rewind(f);
}

// "$TLS_CA <file>" holds for every HTTPS BMC, those of earlier $NODE lines
// too, whose workers log in as soon as their line is read: so the file is
// searched for it before anything else is read.
void readtlsca(FILE* f) {
  char line[LINELEN];
  char value[SETTINGLEN];
  while (readconfigline(f, line)) {
    const char* rest = afterkeyword(line, "$TLS_CA");
    if (!rest) continue;
    parseemail(value, const_cast<char*>(rest));
    if (access(value, R_OK) != 0)
      fatalf(1,
                  "Unable to read the TLS CA file %s named in cluster.dat.\n"
                  "Exiting now.\n",
                  value);
    settlscafile(value);
  }
  rewind(f);
}

}  // namespace

int parsenode(char* nodename, char* chassisname, char* username, char* password,
              char* origline) {
  std::string f[4];
  if (!splitfields(origline, 4, FIELDLEN - 1, f))
    fatalf(1,
                "Field too long (at most %d characters) in this line of "
                "cluster.dat:\n%s\nExiting now.\n",
                FIELDLEN - 1, origline);
  char* out[4] = {nodename, chassisname, username, password};
  for (int i = 0; i < 4; i++) {
    memset(out[i], 0, FIELDLEN);
    memcpy(out[i], f[i].data(), f[i].size());
  }
  bool smi = strcmp(username, "SMI") == 0;
  if (!nodename[0] || !chassisname[0] || !username[0] || (!password[0] && !smi))
    fatalf(1, "Error parsing this line in cluster.dat:\n%s\n", origline);
  return 1;
}

int parseemail(char* setting, char* origline) {
  std::string value;
  if (!splitfields(origline, 1, MAXFIELD, &value))
    fatalf(1,
                "Value too long (at most %d characters) in this line of "
                "cluster.dat:\n%s\nExiting now.\n",
                static_cast<int>(MAXFIELD), origline);
  memset(setting, 0, SETTINGLEN);
  memcpy(setting, value.data(), value.size());
  return 1;
}

void (*httplistenhook)(const char* address) = nullptr;

void parsecluster(const char* path, cluster* cl) {
  // Closed on every way out, a refused line included (a fuzz target turns
  // the fatal exit into an exception).
  configfile file(fopen(path, "r"));
  if (!file)
    fatalf(1, "Unable to open cluster configuration file: %s\nExiting now.\n",
           path);
  warnifreadable(file.get(), path);
  readclusterfile(file.get(), cl);
}

void readclusterfile(FILE* f, cluster* cl) {
  cl->numnodes = 0;
  readtlsca(f);
  if (foreseetransport) foreseenodes(cl, f);
  time_t readingtime = nowtime();
  char line[LINELEN];
  char value[SETTINGLEN];
  while (readconfigline(f, line)) {
    if (line[0] == '!' || line[0] == '#' || line[0] == ' ' || line[0] == '\n' ||
        line[0] == '\0')
      continue;
    char* rest;
    if (afterkeyword(line, "$NODE")) {
      addnode(cl, line, readingtime);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$ENABLE_ALERTS")))) {
      parseemail(value, rest);
      // Only ever switched on.
      if (strncasecmp(value, "yes", 3) == 0) cl->processalerts = true;
    } else if ((rest = const_cast<char*>(
                    afterkeyword(line, "$ENABLE_SHUTDOWNS")))) {
      parseemail(value, rest);
      if (strncasecmp(value, "yes", 3) == 0) cl->processshutdowns = true;
    } else if ((rest = const_cast<char*>(afterkeyword(line, "$EMAIL_TO")))) {
      parseemail(cl->emailto, rest);
    } else if ((rest = const_cast<char*>(afterkeyword(line, "$EMAIL_FROM")))) {
      parseemail(cl->emailfrom, rest);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$EMAIL_SERVER")))) {
      parseemail(value, rest);
      // emailserver is half the size of the scratch value.
      memcpy(cl->emailserver, value, sizeof cl->emailserver);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$APACHE_GROUP")))) {
      parseemail(value, rest);
      struct group* g = getgrnam(value);
      if (!g)
        fatalf(4, "Unable to locate apache group %s.  Exiting.\n", value);
      cl->apachegid = g->gr_gid;
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$HTTP_LISTEN")))) {
      parseemail(value, rest);
      if (httplistenhook) httplistenhook(value);
    }
    // Any other line is ignored.
  }
}

void checkemailsettings(const cluster* cl) {
  bool missing = false;
  if (!cl->emailto[0]) {
    error_msg("Did not read email to address in cluster config file\n");
    missing = true;
  }
  if (!cl->emailfrom[0]) {
    error_msg("Did not read email from address in cluster config file\n");
    missing = true;
  }
  if (!cl->emailserver[0]) {
    error_msg("Did not read email server in cluster config file\n");
    missing = true;
  }
  if (missing) fatalexit(1);
}

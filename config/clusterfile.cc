// Reads cluster.dat: settings and nodes. Every node's connection is brought
// up as its line is read. An error refuses the file (status 1; 4 for an
// unknown web-server group): the reader stops at the first and says why.
#include "config/clusterfile.h"

#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "config/configerror.h"
#include "config/filemode.h"
#include "config/linescan.h"
#include "config/tls.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

constexpr int SETTINGLEN = 512;
static_assert(MAXSETTING == MAXFIELD + 1, "a setting value fits MAXSETTING");

bool addnode(cluster* cl, char* line, time_t readingtime, configerror* err) {
  char nodename[FIELDLEN], chassisname[FIELDLEN], username[FIELDLEN],
      password[FIELDLEN];
  if (cl->numnodes >= MAXNODES)
    return configfail(err, 1,
                      "Maximum node count of %d exceeded in cluster.dat:\n%s\n"
                      "Exiting now.\n",
                      MAXNODES, line);
  if (!parsenode(nodename, chassisname, username, password,
                 const_cast<char*>(afterkeyword(line, "$NODE")), err))
    return false;
  node* n = &cl->mynodes[cl->numnodes++];
  n->thischassis = cl->findchassis(chassisname);
  if (!n->thischassis)
    return configfail(err, 1,
                      "Unable to locate chassis %s for node %s\nExiting now.\n",
                      chassisname, nodename);
  n->name = keepstring(nodename, strlen(nodename) + 1);
  n->username = keepstring(username, strlen(username) + 1);
  n->password = keepstring(password, strlen(password) + 1);
  // The connection comes up as its line is read.
  n->link = attachtransport ? attachtransport(n, readingtime) : nullptr;
  return true;
}

// "$POWER_ON_RATE <per second>": a whole number, 1 to MAXPOWERONRATE.
bool readpoweronrate(const char* value, cluster* cl, configerror* err) {
  char* end;
  long rate = strtol(value, &end, 10);
  if (value[0] < '0' || value[0] > '9' || *end != '\0' || rate < 1 ||
      rate > MAXPOWERONRATE)
    return configfail(err, 1,
                      "Bad $POWER_ON_RATE %s in cluster.dat: a whole number of "
                      "power-ons per second from 1 to %d is needed.\n"
                      "Exiting now.\n",
                      value, MAXPOWERONRATE);
  cl->poweronrate = static_cast<int>(rate);
  return true;
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
bool readtlsca(FILE* f, configerror* err) {
  char line[LINELEN];
  char value[SETTINGLEN];
  while (readconfigline(f, line)) {
    const char* rest = afterkeyword(line, "$TLS_CA");
    if (!rest) continue;
    if (!parseemail(value, const_cast<char*>(rest), err)) return false;
    if (access(value, R_OK) != 0)
      return configfail(err, 1,
                        "Unable to read the TLS CA file %s named in "
                        "cluster.dat.\nExiting now.\n",
                        value);
    settlscafile(value);
  }
  rewind(f);
  return true;
}

// $SLURM_DRAIN, $SLURM_SCONTROL and $SLURM_RESUME_AFTER; any other
// $SLURM_ line is ignored like any unknown line.
bool readslurmsetting(char* line, cluster* cl, configerror* err) {
  char value[SETTINGLEN];
  char* rest;
  if ((rest = const_cast<char*>(afterkeyword(line, "$SLURM_DRAIN")))) {
    if (!parseemail(value, rest, err)) return false;
    if (strncasecmp(value, "yes", 3) == 0) cl->slurmdrain = true;
  } else if ((rest = const_cast<char*>(afterkeyword(line, "$SLURM_SCONTROL")))) {
    if (!parseemail(value, rest, err)) return false;
    // Run without a shell and without a search path.
    if (value[0] != '/')
      return configfail(err, 1,
                        "$SLURM_SCONTROL needs an absolute path in "
                        "cluster.dat, not \"%s\".\nExiting now.\n",
                        value);
    // A value holds at most MAXFIELD characters: it fits with its NUL.
    memcpy(cl->slurmscontrol, value, sizeof cl->slurmscontrol);
  } else if ((rest = const_cast<char*>(
                  afterkeyword(line, "$SLURM_RESUME_AFTER")))) {
    if (!parseemail(value, rest, err)) return false;
    char* end = value;
    long seconds = value[0] >= '0' && value[0] <= '9' ? strtol(value, &end, 10)
                                                       : -1;
    // A year at most: anything longer is a typing error, not a policy.
    if (seconds < 0 || *end || seconds > 366L * 24 * 3600)
      return configfail(err, 1,
                        "$SLURM_RESUME_AFTER takes whole seconds (0: never "
                        "resume) in cluster.dat, not \"%s\".\nExiting now.\n",
                        value);
    cl->slurmresumeafter = seconds;
  }
  return true;
}

}  // namespace

bool parsenode(char* nodename, char* chassisname, char* username,
               char* password, char* origline, configerror* err) {
  std::string f[4];
  if (!splitfields(origline, 4, FIELDLEN - 1, f))
    return configfail(err, 1,
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
    return configfail(err, 1, "Error parsing this line in cluster.dat:\n%s\n",
                      origline);
  return true;
}

bool parseemail(char* setting, char* origline, configerror* err) {
  std::string value;
  if (!splitfields(origline, 1, MAXFIELD, &value))
    return configfail(err, 1,
                      "Value too long (at most %d characters) in this line of "
                      "cluster.dat:\n%s\nExiting now.\n",
                      static_cast<int>(MAXFIELD), origline);
  memset(setting, 0, SETTINGLEN);
  memcpy(setting, value.data(), value.size());
  return true;
}

void (*httplistenhook)(const char* address) = nullptr;

bool parsecluster(const char* path, cluster* cl, configerror* err) {
  configfile file(fopen(path, "r"));
  if (!file)
    return configfail(
        err, 1, "Unable to open cluster configuration file: %s\nExiting now.\n",
        path);
  warnifreadable(file.get(), path);
  return readclusterfile(file.get(), cl, err);
}

bool readclusterfile(FILE* f, cluster* cl, configerror* err) {
  cl->numnodes = 0;
  if (!readtlsca(f, err)) return false;
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
      if (!addnode(cl, line, readingtime, err)) return false;
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$ENABLE_ALERTS")))) {
      if (!parseemail(value, rest, err)) return false;
      // Only ever switched on.
      if (strncasecmp(value, "yes", 3) == 0) cl->processalerts = true;
    } else if ((rest = const_cast<char*>(
                    afterkeyword(line, "$ENABLE_SHUTDOWNS")))) {
      if (!parseemail(value, rest, err)) return false;
      if (strncasecmp(value, "yes", 3) == 0) cl->processshutdowns = true;
    } else if ((rest = const_cast<char*>(
                    afterkeyword(line, "$POWER_ON_RATE")))) {
      if (!parseemail(value, rest, err) || !readpoweronrate(value, cl, err))
        return false;
    } else if ((rest = const_cast<char*>(afterkeyword(line, "$EMAIL_TO")))) {
      if (!parseemail(cl->emailto, rest, err)) return false;
    } else if ((rest = const_cast<char*>(afterkeyword(line, "$EMAIL_FROM")))) {
      if (!parseemail(cl->emailfrom, rest, err)) return false;
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$EMAIL_SERVER")))) {
      if (!parseemail(value, rest, err)) return false;
      // emailserver is half the size of the scratch value.
      memcpy(cl->emailserver, value, sizeof cl->emailserver);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$APACHE_GROUP")))) {
      if (!parseemail(value, rest, err)) return false;
      struct group* g = getgrnam(value);
      if (!g)
        return configfail(err, 4, "Unable to locate apache group %s.  Exiting.\n",
                          value);
      cl->apachegid = g->gr_gid;
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$HTTP_LISTEN")))) {
      if (!parseemail(value, rest, err)) return false;
      if (httplistenhook) httplistenhook(value);
    } else if (strncmp(line, "$SLURM_", 7) == 0) {
      if (!readslurmsetting(line, cl, err)) return false;
    }
    // Any other line is ignored.
  }
  return true;
}

bool checkemailsettings(const cluster* cl, configerror* err) {
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
  // Each missing setting has been said.
  if (missing) return configfail(err, 1, "%s", "");
  return true;
}
